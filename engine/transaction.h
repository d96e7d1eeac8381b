// Device mode: requests that travel to the devices through the open session,
// and the table of requests waiting for their answers.
//
// The engine stays below the transport: what it needs from the link is the
// small interface `Link`, which the transport installs when a session opens
// and clears when it ends. The receive path offers every complete message
// to AnswerOffered, which costs one atomic load while no request waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "LCMP_comm.h"

namespace lcmp {

// Puts `message` on the wire to `destination` (6 bytes) with `opcode`, in
// segments when it is longer than one frame. The send takes the opcode's next
// sequence number and stores it in `*sequence` before the first frame leaves,
// so that an answer arriving before the send returns already finds it.
// 0, or a negative code (LCMP_ERROR_SOCKET_NOT_OPENED once the session is
// closing).
using LinkSend = int32_t (*)(void *context, const uint8_t *destination, int32_t opcode,
                             std::span<const uint8_t> message, std::atomic<int32_t> *sequence);

struct Link {
    LinkSend send = nullptr;
    void *context = nullptr;
    uint8_t own[6] = {};     // the adapter's address, read once when the session opened
    bool ownKnown = false;   // false: the adapter has none (requests then fail with -2)
    // Makes the link's sequence counters continue from unpredictable values
    // (called once device mode is enabled; may be null). Another process on
    // the adapter sees this one's answers: numbers it cannot guess keep its
    // requests from taking them.
    void (*sequencesUnpredictable)() noexcept = nullptr;
    // True on the thread that delivers the answers (may be null).
    bool (*onReceiveThread)() noexcept = nullptr;
};

// Installed by the session once it runs; until then, and after LinkClear,
// device-mode requests return LCMP_ERROR_SOCKET_NOT_OPENED.
void LinkInstall(const Link &link) noexcept;
// Called by LCMPRequestModeSet when device mode is set: from then on (and
// for every link installed later) the sequence numbers are unpredictable.
void DeviceModeEnabled() noexcept;
namespace testing {
// As in a process that never set device mode (for tests in a child process).
void DeviceModeForget() noexcept;
}  // namespace testing
// The end of the session: no new request starts, and every request waiting
// for an answer ends at once with LCMP_ERROR_SOCKET_NOT_OPENED.
void LinkClear() noexcept;

// LCMPRead, LCMPWrite and LCMPControl in device mode: the request goes to
// the destination in batches of whole records (at most kMaxBatchRecords
// records and kMaxWireMessage bytes each), every batch's answers are
// collected as include/lcmp.h describes, and the records of the
// confirmation's type are appended to *resultLocation in batch order.
inline constexpr std::size_t kMaxBatchRecords = 255;
int32_t DeviceRequest(int32_t opcode, uint8_t requestRecordType, const LCMPValueList *request,
                      int32_t destinationKind, const uint8_t *deviceMac, LCMPValueList **resultLocation) noexcept;

// For LCMPNotify in device mode: the checks it makes before touching the
// subscription (LCMP_ERROR_SOCKET_NOT_OPENED without a session,
// LCMP_ERROR_BAD_ARGS for a bad destination; the address is stored in
// `destination`), and one send without waiting for an answer.
// A kind-0 address with the group bit set is refused.
int32_t DeviceDestinationCheck(int32_t destinationKind, const uint8_t *deviceMac, uint8_t *destination) noexcept;
int32_t DeviceSend(const uint8_t *destination, int32_t opcode, std::span<const uint8_t> message) noexcept;
// True while a session's link is installed.
bool LinkReady() noexcept;
// True when called on the thread that delivers the answers (a callback):
// device-mode requests are refused there with LCMP_ERROR_BAD_ARGS.
bool OnReceiveThread() noexcept;

// Requests waiting for answers now.
extern std::atomic<uint32_t> gOutstandingRequests;
// Set by the first device-mode request: from then on every confirmation is
// offered to AnswerMatch, so that late answers are counted too.
extern std::atomic<bool> gAnswersExpected;

// Matches a received message against the waiting requests and hands its
// records to the one it answers. True when a request took it (the message
// still goes to the registered callbacks). A confirmation that no request
// takes is counted in LCMPDeviceStats. Never waits for a caller.
bool AnswerMatch(const uint8_t *source, int32_t opcode, uint16_t sequence, std::span<const uint8_t> payload) noexcept;

// The receive path's entry: nothing but an atomic load while no request waits.
inline bool AnswerOffered(const uint8_t *source, int32_t opcode, uint16_t sequence,
                          std::span<const uint8_t> payload) noexcept {
    if (gOutstandingRequests.load(std::memory_order_acquire) == 0 && !gAnswersExpected.load(std::memory_order_relaxed))
        return false;
    return AnswerMatch(source, opcode, sequence, payload);
}

}  // namespace lcmp
