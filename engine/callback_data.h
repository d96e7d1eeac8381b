// CallbackData: the context record of one installed callback, and the
// delivery bookkeeping that keeps it alive while a delivery uses it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "LCMP_comm.h"

namespace lcmp {

// Counting semaphore with count 0 at creation and a maximum of 1. A release
// beyond the maximum is refused (returns false).
class Semaphore {
public:
    bool release() noexcept;
    // True when the count was taken within `ms` milliseconds.
    bool acquireFor(std::chrono::milliseconds ms) noexcept;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

// A mutex whose uncontended lock and unlock are one atomic operation each:
// the registry takes it twice for every delivery, on the receive path of
// every frame. A contended locker sleeps on a condition variable of its own,
// checked under its own mutex, so that no wake-up is lost. (std::atomic's
// wait is not used: where it has no futex beneath it, as in MinGW-w64's
// libstdc++ 12, a notify can miss a waiter, which then sleeps for ever.)
// State: 0 free, 1 held, 2 held with possible sleepers.
class FastMutex {
public:
    void lock() noexcept {
        int expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        while (state_.exchange(2, std::memory_order_acquire) != 0) {
            std::unique_lock sleep(sleepMutex_);
            woken_.wait(sleep, [this] { return state_.load(std::memory_order_relaxed) != 2; });
        }
    }
    bool try_lock() noexcept {
        int expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) != 2) return;
        // Taken before the notify: a sleeper that saw the word still held
        // is then waiting, and gets it.
        const std::lock_guard sleep(sleepMutex_);
        woken_.notify_one();
    }

private:
    std::atomic<int> state_{0};
    std::mutex sleepMutex_;
    std::condition_variable woken_;
};

// One mutex guards every registry and every delivery count. It is never held
// while a callback runs.
inline FastMutex gDeliveryMutex;
inline FastMutex &DeliveryMutex() noexcept { return gDeliveryMutex; }

}  // namespace lcmp

struct CallbackData {
    LCMPValueList **resultLocation = nullptr;
    int32_t filterType = 0;
    uintptr_t owner = 0;
    lcmp::Semaphore semaphore;
    std::atomic<uint8_t> done{0};
    LCMPValueListFunction function = nullptr;

    // Guarded by DeliveryMutex(): deliveries running now, and whether the
    // owner asked for the release while one was running.
    uint32_t deliveries = 0;
    bool destroyPending = false;
    // Called with `owner` when the record is finally released (the bridge
    // deletes its Java reference there).
    void (*ownerRelease)(uintptr_t owner) = nullptr;
    // Set before the record is installed, fixed afterwards: the one sender
    // whose messages reach the record's callback (the one-shot callback of
    // a device-mode subscription to one device). Any sender when unset.
    bool senderFiltered = false;
    uint8_t sender[6] = {};
};

namespace lcmp {

// Delivery bracket, both called with DeliveryMutex() held. Begin returns
// false when the owner has already asked for the record's release (the
// delivery must not start). End returns true when the record must now be
// freed with CallbackDataFree, after the mutex has been let go.
inline bool BeginDeliveryLocked(CallbackData *data) noexcept {
    if (data->destroyPending) return false;
    ++data->deliveries;
    return true;
}
inline bool EndDeliveryLocked(CallbackData *data) noexcept {
    --data->deliveries;
    return data->deliveries == 0 && data->destroyPending;
}
// Frees the record and then hands its owner word to ownerRelease, if set.
void CallbackDataFree(CallbackData *data) noexcept;

void CallbackDataSetOwnerRelease(CallbackData *data, void (*release)(uintptr_t)) noexcept;

// The engine's registry callbacks and the timed wait on a record's semaphore.
int Callback(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data);
int CallbackUnicast(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data);
int wait(int32_t milliseconds, Semaphore *semaphore) noexcept;

}  // namespace lcmp
