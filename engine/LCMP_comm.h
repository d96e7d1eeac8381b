// Internal interface of the request engine (module LCMP_comm): the message
// format, the allocation seam, callback data and the engine callbacks. Not
// installed; the public interface is include/lcmp.h.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "byte_reader.h"
#include "lcmp.h"

namespace lcmp {

// ---- Allocation seam ----
// Every allocation of the engine and the transport goes through Allocate, so
// that tests can make the k-th allocation fail.
void *Allocate(std::size_t size) noexcept;
void Release(void *p) noexcept;

struct SeamFree {
    void operator()(void *p) const noexcept { Release(p); }
};
// A byte buffer from the seam, released on every path.
using Buffer = std::unique_ptr<uint8_t[], SeamFree>;
inline Buffer AllocateBuffer(std::size_t size) noexcept { return Buffer(static_cast<uint8_t *>(Allocate(size))); }

namespace testing {
// Fail the allocation numbered `k` (1-based, counted from this call); with
// `persistent`, every allocation from the k-th on fails. k == 0 switches
// failing off. The first call also starts the counting of allocations.
void FailAllocation(std::size_t k, bool persistent = false) noexcept;
// Allocations made since the last FailAllocation call.
std::size_t AllocationCount() noexcept;
}  // namespace testing

// ---- Message format ----
inline constexpr uint8_t kLeadByte = 0x05;
inline constexpr uint8_t kMulticastMac[6] = {0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
inline constexpr uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

enum class HeaderShape { None, Request, Confirmation, Notification };
HeaderShape ShapeOf(int32_t opcode) noexcept;

// Locates the record area of a received message from its opcode. Empty when
// the lead byte is wrong, the opcode has no header shape, or the header or
// the area it announces does not fit the message.
std::optional<std::span<const uint8_t>> RecordArea(int32_t opcode, std::span<const uint8_t> message) noexcept;

struct Record {
    uint8_t type;
    std::span<const uint8_t> value;
};

// Walks a record area: while 3 bytes remain, read type and length; a record
// whose value does not fit what is left ends the walk (it is dropped). The
// visitor is called for each whole record.
template <typename Visitor>
void WalkRecords(std::span<const uint8_t> area, Visitor &&visit) {
    ByteReader r(area);
    while (r.remaining() >= 3) {
        const uint8_t type = *r.u8();
        const uint16_t length = *r.le16();
        const auto value = r.take(length);
        if (!value) return;
        visit(Record{type, *value});
    }
}

// The longest message the link carries (16 segments of 1492 bytes); the
// transport's own limit is checked against it where both are known.
inline constexpr std::size_t kMaxWireMessage = 23872;

// Composes a request message (lead byte, requester address, record-area
// length most significant byte first, records) into a zero-filled buffer.
// Returns 0, -14, or the nonzero result of LCMPMyMACGet.
int32_t ComposeRequest(uint8_t recordType, const LCMPValueList *request, Buffer *out, std::size_t *size) noexcept;
// The request message as it goes on the wire: the records of the entries
// from `first` up to (not including) `end`, the given requester address at
// bytes 1-6 and the record-area length least significant byte first.
int32_t ComposeRequest(uint8_t recordType, const LCMPValue *first, const LCMPValue *end, const uint8_t *requester,
                       Buffer *out, std::size_t *size) noexcept;
int32_t LCMPReqSend(int32_t opcode, LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                    LCMPValueList **resultLocation) noexcept;
int32_t LCMPMyMACGet(uint8_t *mac) noexcept;

// Composes the subscription message of LCMPNotify. 0 or -14. With
// `wireOrder` the record-area length is written least significant byte first,
// as on the wire.
int32_t ComposeNotify(const LCMPValueList *list, uint8_t flag, Buffer *out, std::size_t *size,
                      bool wireOrder = false) noexcept;

// Observer of composed messages, for tests: called with every request and
// subscription message just before it is released.
using ComposedMessageObserver = void (*)(int32_t opcode, std::span<const uint8_t> message);
void SetComposedMessageObserver(ComposedMessageObserver observer) noexcept;
void ObserveComposed(int32_t opcode, std::span<const uint8_t> message) noexcept;

// Owner of a value-list location for the duration of a scope.
class ValueListHolder {
public:
    ValueListHolder() = default;
    ValueListHolder(const ValueListHolder &) = delete;
    ValueListHolder &operator=(const ValueListHolder &) = delete;
    ~ValueListHolder() { LCMPValueListDestroy(list_); }
    LCMPValueList **location() noexcept { return &list_; }
    LCMPValueList *get() const noexcept { return list_; }

private:
    LCMPValueList *list_ = nullptr;
};

}  // namespace lcmp

namespace lcmp {
// The request mode set by LCMPRequestModeSet (LCMP_REQUESTS_LOCAL until then,
// with 500 ms and 3 attempts).
struct RequestSettings {
    int32_t mode;
    uint32_t timeoutMs;
    uint32_t attempts;
};
RequestSettings RequestModeGet() noexcept;

// Releases the Notify subscription record, if any (the end of a session).
void NotifySubscriptionRelease() noexcept;
}  // namespace lcmp
