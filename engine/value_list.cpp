// Value lists: the container in which records travel between the bridge and
// the engine. Appends are constant time through `last`; values are copied
// into buffers of exactly their length.
#include <cstring>

#include "LCMP_comm.h"

namespace {

LCMPValueList *ValueListCreate() noexcept {
    auto *list = static_cast<LCMPValueList *>(lcmp::Allocate(sizeof(LCMPValueList)));
    if (list == nullptr) return nullptr;
    list->count = 0;
    list->first = nullptr;
    list->last = nullptr;
    return list;
}

}  // namespace

extern "C" {

int32_t LCMPFullValueAdd(LCMPValueList **location, const uint8_t *sourceMac, int32_t type, uint16_t length,
                         const uint8_t *value) {
    if (location == nullptr) return LCMP_ERROR_BAD_ARGS;
    if (*location == nullptr) *location = ValueListCreate();
    LCMPValueList *list = *location;
    if (list == nullptr) return LCMP_ERROR_MALLOC;

    // The entry and its value bytes in one allocation: the bytes follow the record.
    void *block = lcmp::Allocate(sizeof(LCMPValue) + length);
    if (block == nullptr) return LCMP_ERROR_MALLOC;
    auto *entry = static_cast<LCMPValue *>(block);
    auto *buffer = reinterpret_cast<uint8_t *>(entry + 1);
    std::memset(entry->sourceMac, 0, sizeof entry->sourceMac);
    if (sourceMac != nullptr) std::memcpy(entry->sourceMac, sourceMac, 6);
    entry->type = type;
    entry->length = length;
    if (length != 0 && value != nullptr) std::memcpy(buffer, value, length);
    else if (length != 0) std::memset(buffer, 0, length);
    entry->value = buffer;
    entry->next = nullptr;

    if (list->last != nullptr) list->last->next = entry;
    list->last = entry;
    if (list->first == nullptr) list->first = entry;
    ++list->count;
    return LCMP_OK;
}

int32_t LCMPValueAdd(LCMPValueList **location, uint16_t length, const uint8_t *value) {
    return LCMPFullValueAdd(location, nullptr, 0, length, value);
}

int32_t LCMPValueListDestroy(LCMPValueList *list) {
    if (list == nullptr) return LCMP_OK;
    list->last = nullptr;
    LCMPValue *entry = list->first;
    while (entry != nullptr) {
        LCMPValue *next = entry->next;
        lcmp::Release(entry);  // its value bytes lie in the same block
        entry = next;
    }
    lcmp::Release(list);
    return LCMP_OK;
}

}  // extern "C"
