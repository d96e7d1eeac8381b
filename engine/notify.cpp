// The Notify subscription: one engine-wide record collecting the type 6
// records of every notification message (opcode 358).
#include <mutex>

#include "callback_data.h"

namespace lcmp {
namespace {

// Guards the subscription record and the handle of its registry entry.
// Taken before the registry's mutex, never inside a callback of ours.
std::mutex gNotifyMutex;
CallbackData *lcmpNotifyCallbackData = nullptr;
CallbackEntry *lcmpNotifyCallbackEntry = nullptr;

// Removes the current subscription's entry (if the registry still has it)
// and releases its record. Caller holds gNotifyMutex.
void DropSubscriptionLocked() noexcept {
    if (lcmpNotifyCallbackEntry != nullptr) LCMPCallBackUninstall(lcmpNotifyCallbackEntry);
    CallbackDataDestroy(lcmpNotifyCallbackData);
    lcmpNotifyCallbackEntry = nullptr;
    lcmpNotifyCallbackData = nullptr;
}

}  // namespace

void NotifySubscriptionRelease() noexcept {
    std::lock_guard lock(gNotifyMutex);
    DropSubscriptionLocked();
}

}  // namespace lcmp

extern "C" int32_t LCMPNotify(LCMPValueList *list, int32_t /*destinationKind*/, const uint8_t * /*deviceMac*/,
                              LCMPValueListFunction function, uint8_t flag) {
    {
        lcmp::Buffer message;
        std::size_t size = 0;
        if (const int32_t rc = lcmp::ComposeNotify(list, flag, &message, &size); rc != 0) return rc;
        lcmp::ObserveComposed(LCMP_NOTIFY_IND, {message.get(), size});
    }  // the subscription message is released untransmitted

    std::lock_guard lock(lcmp::gNotifyMutex);
    // The new record first: when it cannot be created, the current
    // subscription stays in place.
    CallbackData *data = CallbackDataCreate(nullptr, LCMP_RECORD_NOTIFY, 0, function);
    if (data == nullptr) return LCMP_ERROR_MALLOC;
    lcmp::DropSubscriptionLocked();
    lcmp::lcmpNotifyCallbackData = data;
    lcmp::lcmpNotifyCallbackEntry = LCMPCallBackInstall(lcmp::Callback, LCMP_NOTIFY_IND, data);
    return lcmp::lcmpNotifyCallbackEntry != nullptr ? LCMP_OK : LCMP_ERROR_CALLBACK;
}
