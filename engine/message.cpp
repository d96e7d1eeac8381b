// The LCMP message format: header shapes by opcode, locating the record area
// of a received message, and composing request and subscription messages.
#include <atomic>
#include <cstring>

#include "LCMP_comm.h"
#include "byte_reader.h"

namespace lcmp {

HeaderShape ShapeOf(int32_t opcode) noexcept {
    switch (opcode) {
        case LCMP_READ_REQ:
        case LCMP_WRITE_REQ:
        case LCMP_CONTROL_REQ: return HeaderShape::Request;
        case LCMP_READ_CNF:
        case LCMP_WRITE_CNF:
        case LCMP_CONTROL_CNF:
        case LCMP_NOTIFY_RSP: return HeaderShape::Confirmation;
        case LCMP_NOTIFY_IND: return HeaderShape::Notification;
        default: return HeaderShape::None;
    }
}

std::optional<std::span<const uint8_t>> RecordArea(int32_t opcode, std::span<const uint8_t> message) noexcept {
    // Where the 16-bit area length (least significant byte first) lies, and
    // where the records start, by header shape.
    std::size_t lengthAt = 1, start = 3;
    switch (ShapeOf(opcode)) {
        case HeaderShape::Request: lengthAt = 7, start = 9; break;
        case HeaderShape::Confirmation: break;
        case HeaderShape::Notification: start = 4; break;  // after the flag byte
        case HeaderShape::None: return std::nullopt;
    }
    // The whole header must be there (lengthAt + 2 <= start), then the area.
    if (message.size() < start || message[0] != kLeadByte) return std::nullopt;
    const std::size_t length = message[lengthAt] | (std::size_t{message[lengthAt + 1]} << 8);
    if (length > message.size() - start) return std::nullopt;
    return message.subspan(start, length);
}

namespace {

std::atomic<ComposedMessageObserver> gObserver{nullptr};

// Sum of (length + 3) over the entries from `first` up to `end`, in 16 bits
// as the header carries it.
uint16_t RecordAreaLength(const LCMPValue *first, const LCMPValue *end) noexcept {
    uint16_t total = 0;
    for (const LCMPValue *v = first; v != end; v = v->next) total = static_cast<uint16_t>(total + v->length + 3);
    return total;
}

// Writes the records of the entries from `first` up to `end` from `out` on,
// with the given type, stopping at `stop` (the 16-bit area length can wrap
// for enormous lists).
void WriteRecords(const LCMPValue *first, const LCMPValue *end, uint8_t type, uint8_t *out,
                  const uint8_t *stop) noexcept {
    for (const LCMPValue *v = first; v != end; v = v->next) {
        if (stop - out < 3 + static_cast<std::ptrdiff_t>(v->length)) return;
        out[0] = type;
        out[1] = static_cast<uint8_t>(v->length & 0xFF);
        out[2] = static_cast<uint8_t>(v->length >> 8);
        if (v->length != 0) std::memcpy(out + 3, v->value, v->length);
        out += 3 + v->length;
    }
}

}  // namespace

void SetComposedMessageObserver(ComposedMessageObserver observer) noexcept { gObserver.store(observer); }

void ObserveComposed(int32_t opcode, std::span<const uint8_t> message) noexcept {
    if (auto *observer = gObserver.load()) observer(opcode, message);
}

int32_t LCMPMyMACGet(uint8_t * /*mac*/) noexcept { return LCMP_OK; }

namespace {

// A zero-filled message: the lead byte, the record-area length at `lengthAt`
// (network order, or least significant byte first with `wireOrder`), and the
// records of the entries from `first` up to `end` from `header` on.
int32_t Compose(std::size_t header, std::size_t lengthAt, uint8_t recordType, const LCMPValue *first,
                const LCMPValue *end, bool wireOrder, Buffer *out, std::size_t *size) noexcept {
    const uint16_t area = RecordAreaLength(first, end);
    const std::size_t total = header + area;
    Buffer message = AllocateBuffer(total);
    if (!message) return LCMP_ERROR_MALLOC;
    std::memset(message.get(), 0, total);
    message[0] = kLeadByte;
    const uint8_t high = static_cast<uint8_t>(area >> 8), low = static_cast<uint8_t>(area & 0xFF);
    message[lengthAt] = wireOrder ? low : high;
    message[lengthAt + 1] = wireOrder ? high : low;
    WriteRecords(first, end, recordType, message.get() + header, message.get() + total);
    *out = std::move(message);
    *size = total;
    return LCMP_OK;
}

const LCMPValue *FirstOf(const LCMPValueList *list) noexcept { return list != nullptr ? list->first : nullptr; }

}  // namespace

int32_t ComposeRequest(uint8_t recordType, const LCMPValueList *request, Buffer *out, std::size_t *size) noexcept {
    Buffer message;
    std::size_t total = 0;
    if (const int32_t rc = Compose(9, 7, recordType, FirstOf(request), nullptr, false, &message, &total); rc != 0)
        return rc;
    if (const int32_t rc = LCMPMyMACGet(message.get() + 1); rc != 0) return rc;  // requester address
    *out = std::move(message);
    *size = total;
    return LCMP_OK;
}

int32_t ComposeRequest(uint8_t recordType, const LCMPValue *first, const LCMPValue *end, const uint8_t *requester,
                       Buffer *out, std::size_t *size) noexcept {
    if (const int32_t rc = Compose(9, 7, recordType, first, end, true, out, size); rc != 0) return rc;
    std::memcpy(out->get() + 1, requester, 6);
    return LCMP_OK;
}

int32_t ComposeNotify(const LCMPValueList *list, uint8_t flag, Buffer *out, std::size_t *size,
                      bool wireOrder) noexcept {
    if (const int32_t rc = Compose(4, 1, LCMP_RECORD_NOTIFY, FirstOf(list), nullptr, wireOrder, out, size); rc != 0)
        return rc;
    (*out)[3] = flag != 0 ? 1 : 0;
    return LCMP_OK;
}

}  // namespace lcmp
