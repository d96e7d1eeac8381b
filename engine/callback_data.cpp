// Callback data records, the engine's registry callbacks (Callback,
// CallbackUnicast) and the timed wait on a record's semaphore.
//
// A record may be destroyed by its owner while the receive thread is
// delivering to it. The registry counts deliveries under DeliveryMutex();
// CallbackDataDestroy on a record with a delivery running only marks it, and
// the delivery that ends last frees it. Nobody ever waits for a delivery.
#include <new>

#include "callback_data.h"

namespace lcmp {

bool Semaphore::release() noexcept {
    {
        std::lock_guard lock(mutex_);
        if (count_ >= 1) return false;
        count_ = 1;
    }
    cv_.notify_one();
    return true;
}

bool Semaphore::acquireFor(std::chrono::milliseconds ms) noexcept {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, ms, [this] { return count_ > 0; })) return false;
    count_ = 0;
    return true;
}

void CallbackDataFree(CallbackData *data) noexcept {
    auto *release = data->ownerRelease;
    const uintptr_t owner = data->owner;
    data->~CallbackData();
    Release(data);
    if (release != nullptr) release(owner);
}

void CallbackDataSetOwnerRelease(CallbackData *data, void (*release)(uintptr_t)) noexcept {
    if (data != nullptr) data->ownerRelease = release;
}

int Callback(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data) {
    if (records == nullptr || data == nullptr) return 0;
    ValueListHolder local;
    LCMPValueList **target = data->resultLocation != nullptr ? data->resultLocation : local.location();
    const std::span<const uint8_t> area(records, length > 0 ? static_cast<std::size_t>(length) : 0);
    WalkRecords(area, [&](const Record &r) {
        if (static_cast<int32_t>(r.type) != data->filterType || r.value.empty()) return;
        // A failed append skips this record; the walk goes on.
        (void)LCMPFullValueAdd(target, sourceMac, data->filterType, static_cast<uint16_t>(r.value.size()),
                               r.value.data());
    });
    if (data->function != nullptr) data->function(*target);
    return 0;
}

int CallbackUnicast(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data) {
    if (data == nullptr) return 0;
    if (data->done.exchange(1) != 0) return 0;  // one delivery only, whichever thread comes first
    Callback(sourceMac, records, length, data);
    data->semaphore.release();
    return 0;
}

int wait(int32_t milliseconds, Semaphore *semaphore) noexcept {
    if (semaphore == nullptr) return 0;
    return semaphore->acquireFor(std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds)) ? 1 : 0;
}

}  // namespace lcmp

extern "C" {

CallbackData *CallbackDataCreate(LCMPValueList **resultLocation, int32_t filterType, uintptr_t owner,
                                 LCMPValueListFunction function) {
    void *memory = lcmp::Allocate(sizeof(CallbackData));
    if (memory == nullptr) return nullptr;
    auto *data = new (memory) CallbackData;
    data->resultLocation = resultLocation;
    data->filterType = filterType;
    data->owner = owner;
    data->function = function;
    return data;
}

void CallbackDataDestroy(CallbackData *data) {
    if (data == nullptr) return;
    {
        std::lock_guard lock(lcmp::DeliveryMutex());
        if (data->deliveries > 0) {
            data->destroyPending = true;  // the last delivery frees it
            return;
        }
        data->destroyPending = true;
    }
    lcmp::CallbackDataFree(data);
}

}  // extern "C"
