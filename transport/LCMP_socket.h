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
    std::span<const uint8_t, kMacSize> destination;
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

// ---- Messages on the wire ----
// A segmented message carries its last-segment number in 4 bits: at most 16
// segments of at most one frame's payload each.
inline constexpr std::size_t kMaxSegments = 16;
inline constexpr std::size_t kMaxMessage = kMaxSegments * kMaxPayload;  // 23 872 bytes

// Receives each frame of a message, in order. 0 goes on; a negative code
// ends the message there and is returned by MessageFramesBuild.
using FrameSink = int32_t (*)(std::span<const uint8_t> frame, void *context);

// The one builder of everything this library puts on the wire. A message of
// at most 1492 bytes travels in one unsegmented frame; a longer one in
// segments of 1492 bytes (the last one shorter), each carrying its segment
// number and the last-segment number. Every frame has the given addresses,
// opcode and sequence number. Frames are built one after another in
// `scratch` (at least 1514 bytes) and handed to `sink`. Results: 0; the
// sink's first failure; LCMP_ERROR_BAD_ARGS for a message longer than 16
// segments carry or a scratch buffer too small (nothing is handed on).
int32_t MessageFramesBuild(std::span<const uint8_t, kMacSize> destination, std::span<const uint8_t, kMacSize> source,
                           uint16_t opcode, uint16_t sequence, std::span<const uint8_t> message,
                           std::span<uint8_t> scratch, FrameSink sink, void *context) noexcept;

// Sends a whole message through the open session (in segments when longer
// than one frame) from `source`, with the opcode's next sequence number,
// stored in `*sequence` (may be null) before the first frame leaves. No line
// per frame on stderr (failures are reported). Safe from any thread, also
// while the session closes. 0; LCMP_ERROR_BAD_ARGS (bad opcode, a message
// beyond 16 segments); LCMP_ERROR_SOCKET_NOT_OPENED; LCMP_ERROR_SENDTO.
int32_t MessageSend(const uint8_t *destination, std::span<const uint8_t, kMacSize> source, int32_t opcode,
                    std::span<const uint8_t> message, std::atomic<int32_t> *sequence) noexcept;

// ---- Sequence counters ----
// One counter per opcode 352..359 (index opcode - 352), 0 at load, never
// reset, wrapping from 65535 to 0.
extern std::array<std::atomic<uint16_t>, 8> lcmpOpcodeNumSeq;
// Advances every counter once by its own random amount, the first time it
// is called (the session calls it through its link once device mode is
// enabled); later calls do nothing.
void SequencesUnpredictable() noexcept;
// Hands out the opcode's current value and advances its counter; concurrent
// callers never get the same value. `opcode` must be in 352..359.
uint16_t SequenceNext(int32_t opcode) noexcept;

// ---- Receive path ----
// A complete message as the receive path hands it on: unsegmented, in place
// in the captured frame, or joined from its segments (the addresses and the
// sequence number are then those of the segment that completed it). The
// views are valid only during the hand-over.
struct ReceivedMessage {
    std::span<const uint8_t, kMacSize> destination;
    std::span<const uint8_t, kMacSize> source;
    uint16_t opcode;
    uint16_t sequence;
    std::span<const uint8_t> payload;
};
using MessageSink = void (*)(const ReceivedMessage &message, void *context);

// What a session does with each complete message: the registry's dispatch
// to the installed callbacks of its opcode.
void MessageDispatch(const ReceivedMessage &message, void *context) noexcept;

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
// The same, handing each complete message to `sink` instead of the registry
// (a simulator of devices answers requests this way).
FrameOutcome HandleFrame(const timeval &captureTime, std::span<const uint8_t> frame, MessageSink sink,
                         void *context) noexcept;

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
// Without immediate mode: a frame waits at most this long in the capture
// library, and a stop is seen this soon.
inline constexpr int kShortReadTimeoutMs = 1;
// Kernel capture ring: about 8 000 frame slots in immediate mode, 80 ms of
// traffic at 100 000 frames/s (libpcap's default of 2 MiB holds about 1 000,
// which a receive thread descheduled for a few milliseconds overruns).
inline constexpr int kCaptureBufferBytes = 16 * 1024 * 1024;

// Functions a session's opener wants run on its receive thread itself:
// `start` with the adapter's name before the first frame is read, `end` once
// the loop has ended and the session's callbacks were dropped. Either may be
// null. (The Java bridge keeps the thread attached to its JVM between them.)
struct ReceiveThreadHooks {
    void (*start)(const char *adapterName) = nullptr;
    void (*end)() = nullptr;
};

int32_t LCMPSocketInit(const char *adapterName, ReceiveThreadHooks hooks = {}) noexcept;
void LCMPSocketEnd() noexcept;
int32_t LCMPReceiveThreadCreate(ReceiveThreadHooks hooks = {}) noexcept;
void LCMPReceiveThreadStop() noexcept;
int ReceiveThreadFunction(void *unused) noexcept;

// True from just before a receive thread starts until it was joined (it may
// have ended already).
bool ReceiveThreadActive() noexcept;
// True on a session's receive thread (inside a callback), where a session can
// neither be opened nor waited for.
bool CalledOnReceiveThread() noexcept;

namespace testing {
// Called on the thread of LCMPInit right after the receive thread started,
// before LCMPInit returns; null for none.
void SetReceiveThreadStartHook(void (*hook)()) noexcept;
}  // namespace testing

}  // namespace lcmp
