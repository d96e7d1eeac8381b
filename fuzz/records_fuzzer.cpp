// libFuzzer harness over the record walk and the conversion paths: a
// received message of any opcode and payload through the registry's dispatch
// (RecordArea, then the engine's collecting callback and one-shot callback,
// which walk the records into value lists), the record walk itself against an
// independent count, and the message builders and request operations with
// value lists made from the input, whose composed records must walk back to
// exactly the list.
//
// Input: byte 0: opcode 352 + (b & 7); byte 1: record-type filter (b % 9);
// byte 2: notify flag; the rest is both the message payload and, read as
// runs of [length byte][bytes], the value list for the builders.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "LCMP_comm.h"
#include "callback_data.h"
#include "registry.h"

namespace {

volatile uint32_t gSink;

int Touch(const uint8_t *mac, const uint8_t *records, int length, CallbackData *) {
    uint32_t sum = 0;
    for (int i = 0; i < 6; ++i) sum += mac[i];
    for (int i = 0; i < length; ++i) sum += records[i];
    gSink = sum;
    return 0;
}

// The number of whole records in an area, counted without WalkRecords.
std::size_t CountRecords(std::span<const uint8_t> area) {
    std::size_t n = 0, pos = 0;
    while (pos + 3 <= area.size()) {
        const std::size_t len = area[pos + 1] | (static_cast<std::size_t>(area[pos + 2]) << 8);
        if (pos + 3 + len > area.size()) break;
        pos += 3 + len;
        ++n;
    }
    return n;
}

void CheckWalkBack(std::span<const uint8_t> area, const LCMPValueList *list, uint8_t type) {
    const LCMPValue *v = list != nullptr ? list->first : nullptr;
    lcmp::WalkRecords(area, [&](const lcmp::Record &r) {
        if (v == nullptr || r.type != type || r.value.size() != v->length) std::abort();
        for (std::size_t i = 0; i < r.value.size(); ++i)
            if (r.value[i] != v->value[i]) std::abort();
        v = v->next;
    });
    if (v != nullptr) std::abort();  // a record of the list went missing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 3) return 0;
    const int32_t opcode = LCMP_READ_REQ + (data[0] & 7);
    const int32_t filter = data[1] % 9;
    const uint8_t flag = data[2];
    const std::span<const uint8_t> payload(data + 3, size - 3);
    const uint8_t mac[6] = {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    if (payload.size() > 0xFFFF) return 0;

    // The record walk against the independent count.
    if (const auto area = lcmp::RecordArea(opcode, payload)) {
        if (area->data() < payload.data() || area->data() + area->size() > payload.data() + payload.size())
            std::abort();
        std::size_t walked = 0;
        lcmp::WalkRecords(*area, [&](const lcmp::Record &r) {
            if (r.value.data() < area->data() || r.value.data() + r.value.size() > area->data() + area->size())
                std::abort();
            ++walked;
        });
        if (walked != CountRecords(*area)) std::abort();
    }

    // Dispatch to the engine's callbacks and a reader of every byte.
    LCMPValueList *collected = nullptr;
    CallbackData *collect = CallbackDataCreate(&collected, filter, 0, nullptr);
    CallbackData *oneShot = CallbackDataCreate(nullptr, filter, 0, [](LCMPValueList *list) {
        uint32_t sum = 0;
        for (const LCMPValue *v = list != nullptr ? list->first : nullptr; v; v = v->next)
            for (uint16_t i = 0; i < v->length; ++i) sum += v->value[i];
        gSink = sum;
    });
    CallbackData *touch = CallbackDataCreate(nullptr, 0, 0, nullptr);
    CallbackEntry *e1 = LCMPCallBackInstall(lcmp::Callback, opcode, collect);
    CallbackEntry *e2 = LCMPCallBackInstall(lcmp::CallbackUnicast, opcode, oneShot);
    CallbackEntry *e3 = LCMPCallBackInstall(Touch, opcode, touch);
    CallbacksExecute(mac, opcode, payload.data(), static_cast<uint16_t>(payload.size()));
    CallbacksExecute(mac, opcode, payload.data(), static_cast<uint16_t>(payload.size()));  // one-shot: no second call
    // Every collected record has the filter's type and a nonempty value.
    for (const LCMPValue *v = collected != nullptr ? collected->first : nullptr; v; v = v->next)
        if (v->type != filter || v->length == 0) std::abort();
    LCMPCallBackUninstall(e1);
    LCMPCallBackUninstall(e2);
    LCMPCallBackUninstall(e3);
    CallbackDataDestroy(collect);
    CallbackDataDestroy(oneShot);
    CallbackDataDestroy(touch);
    LCMPValueListDestroy(collected);

    // A value list from the payload, through the builders and the requests.
    lcmp::ValueListHolder list;
    for (std::size_t pos = 0; pos < payload.size();) {
        const std::size_t len = std::min<std::size_t>(payload[pos], payload.size() - pos - 1);
        if (LCMPFullValueAdd(list.location(), (payload[pos] & 1) ? mac : nullptr, 0, static_cast<uint16_t>(len),
                             payload.data() + pos + 1) != 0)
            break;
        pos += 1 + len;
    }
    std::size_t total = 0;
    for (const LCMPValue *v = list.get() != nullptr ? list.get()->first : nullptr; v; v = v->next) total += v->length + 3u;
    lcmp::Buffer message;
    std::size_t messageSize = 0;
    if (lcmp::ComposeRequest(LCMP_RECORD_READ_PARAMETER, list.get(), &message, &messageSize) == 0 && total <= 0xFFFF) {
        if (messageSize != 9 + total) std::abort();
        CheckWalkBack({message.get() + 9, total}, list.get(), LCMP_RECORD_READ_PARAMETER);
    }
    if (lcmp::ComposeNotify(list.get(), flag, &message, &messageSize) == 0 && total <= 0xFFFF) {
        if (messageSize != 4 + total || message[3] != (flag != 0 ? 1 : 0)) std::abort();
        CheckWalkBack({message.get() + 4, total}, list.get(), LCMP_RECORD_NOTIFY);
    }
    for (auto op : {LCMPRead, LCMPWrite, LCMPControl}) {
        LCMPValueList *result = nullptr;
        op(list.get(), flag % 3, mac, &result);
        LCMPValueListDestroy(result);
    }
    lcmp::CallbackListDestroyAll();
    return 0;
}
