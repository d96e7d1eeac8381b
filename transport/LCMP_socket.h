// Internal interface of the link transport (module LCMP_socket): the frame
// and link-header codec, the sequence counters, the per-frame function of the
// receive path and the adapter session. Not installed; hosts use lcmp.h.
#pragma once

#include <sys/time.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "byte_reader.h"
#include "lcmp.h"

// The capture handle of libpcap; only the transport's sources include pcap.h.
typedef struct pcap pcap_t;

namespace lcmp {

// ---- Frame layout ----
inline constexpr uint16_t kEthertype = 0x22E3;
inline constexpr std::size_t kMacSize = 6;
inline constexpr std::size_t kEthernetHeaderSize = 14;
inline constexpr std::size_t kLinkHeaderSize = 8;
inline constexpr std::size_t kFrameHeaderSize = kEthernetHeaderSize + kLinkHeaderSize;  // 22
inline constexpr std::size_t kMaxFrameSize = 1514;
inline constexpr std::size_t kMaxPayload = kMaxFrameSize - kFrameHeaderSize;  // 1492
inline constexpr int32_t kFirstOpcode = LCMP_READ_REQ;                        // 352
inline constexpr int32_t kLastOpcode = LCMP_NOTIFY_RSP;                       // 359

// The 8-byte link header after the Ethernet header, decoded.
struct LCMPLinkHeader {
    uint16_t payloadLength = 0;  // 12 bits
    uint16_t opcode = 0;         // 12 bits
    uint8_t lastSegment = 0;     // 4 bits; 0: not segmented
    uint8_t segmentNumber = 0;   // 4 bits
    uint16_t sequence = 0;
};

// Writes the header; bytes 3, 7 are zero and only the low 12 bits of the
// length and opcode and the low 4 bits of the segment fields are kept.
void LinkHeaderEncode(const LCMPLinkHeader &header, std::span<uint8_t, kLinkHeaderSize> out) noexcept;
// Reads 8 bytes; empty when fewer remain.
std::optional<LCMPLinkHeader> LinkHeaderDecode(ByteReader &reader) noexcept;

// A received LCMP frame, its parts viewed in place in the captured bytes.
struct ReceivedFrame {
    std::span<const uint8_t, kMacSize> source;
    LCMPLinkHeader header;
    std::span<const uint8_t> payload;  // exactly header.payloadLength bytes
};

// Checks a captured frame in this order: more than 22 bytes, Ethertype
// 0x22E3, payload length within the captured bytes; then decodes it. Empty
// for a frame that fails a check.
std::optional<ReceivedFrame> FrameDecode(std::span<const uint8_t> frame) noexcept;

// Writes destination, source, Ethertype, link header and payload into `out`
// (at least 22 + payload bytes) and returns the frame size.
std::size_t FrameBuild(std::span<const uint8_t, kMacSize> destination, std::span<const uint8_t, kMacSize> source,
                       const LCMPLinkHeader &header, std::span<const uint8_t> payload,
                       std::span<uint8_t> out) noexcept;

// ---- Sequence counters ----
// One counter per opcode 352..359 (index opcode - 352), 0 at load, never
// reset, wrapping from 65535 to 0.
extern std::array<std::atomic<uint16_t>, 8> lcmpOpcodeNumSeq;
// Hands out the opcode's current value and advances its counter; concurrent
// callers never get the same value. `opcode` must be in 352..359.
uint16_t SequenceNext(int32_t opcode) noexcept;

// ---- Receive path ----
// Everything the receive loop does with one captured frame: the capture time
// becomes the module clock, the frame is checked and decoded, an unsegmented
// message is dispatched in place, a segment goes to reassembly (and the
// joined message is dispatched once complete), and partial messages are aged.
// Only one thread at a time may feed frames: the receive loop while a session
// runs, otherwise a test, a replay or a benchmark.
enum class FrameOutcome : int32_t {
    Dispatched = LCMP_FRAME_DISPATCHED,  // a complete message went to the registry
    Held = LCMP_FRAME_HELD,              // a segment waits for the rest of its message
    Ignored = LCMP_FRAME_IGNORED,        // not an LCMP frame
    Dropped = LCMP_ERROR_DROP_PACKET,    // an LCMP frame cut short by the capture
    OutOfMemory = LCMP_ERROR_MALLOC,     // a segment or the joined message could not be stored
};
FrameOutcome HandleFrame(const timeval &captureTime, std::span<const uint8_t> frame) noexcept;

// Feeds every frame of a pcap savefile, with its recorded capture time, to
// HandleFrame and then drops the partial messages left over. 0; -1 when the
// file cannot be read; -13 for a null path or while a receive loop runs.
int32_t ReplaySavefile(const char *path) noexcept;

// ---- Adapter session ----
// Name of the opened adapter: at most 99 characters, zero-filled.
inline constexpr std::size_t kInterfaceNameSize = 100;
extern char lcmpInterfaceName[kInterfaceNameSize];
// Capture handle of the open adapter, null while none is open. It changes
// only with HandleMutex() held; senders hold it while they use the handle.
extern pcap_t *fp;
std::mutex &HandleMutex() noexcept;
// 1 while the receive loop should run; cleared to request the stop.
extern std::atomic<uint8_t> lcmpReceiveThreadRunning;

// Capture parameters of the session.
inline constexpr int kSnapshotLength = 1514;
inline constexpr int kReadTimeoutMs = 1000;
// Kernel capture ring: about 8 000 frame slots in immediate mode, 80 ms of
// traffic at 100 000 frames/s (libpcap's default of 2 MiB holds about 1 000,
// which a receive thread descheduled for a few milliseconds overruns).
inline constexpr int kCaptureBufferBytes = 16 * 1024 * 1024;

int32_t LCMPSocketInit(const char *adapterName) noexcept;
void LCMPSocketEnd() noexcept;
int32_t LCMPReceiveThreadCreate() noexcept;
void LCMPReceiveThreadStop() noexcept;
int ReceiveThreadFunction(void *unused) noexcept;

// True from just before a receive thread starts until it was joined (it may
// have ended already).
bool ReceiveThreadActive() noexcept;

namespace testing {
// Called on the thread of LCMPInit right after the receive thread started,
// before LCMPInit returns; null for none.
void SetReceiveThreadStartHook(void (*hook)()) noexcept;
}  // namespace testing

}  // namespace lcmp
