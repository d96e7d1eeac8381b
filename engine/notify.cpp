// The Notify subscription: one engine-wide record collecting the type 6
// records of every notification message (opcode 358).
#include <mutex>

#include "callback_data.h"
#include "transaction.h"

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

namespace {

// Replaces the subscription with a new record for `function`. 0, -14 or -21.
// Caller holds gNotifyMutex.
int32_t SubscribeLocked(LCMPValueListFunction function) noexcept {
    // The new record first: when it cannot be created, the current
    // subscription stays in place.
    CallbackData *data = CallbackDataCreate(nullptr, LCMP_RECORD_NOTIFY, 0, function);
    if (data == nullptr) return LCMP_ERROR_MALLOC;
    DropSubscriptionLocked();
    lcmpNotifyCallbackData = data;
    lcmpNotifyCallbackEntry = LCMPCallBackInstall(Callback, LCMP_NOTIFY_IND, data);
    return lcmpNotifyCallbackEntry != nullptr ? LCMP_OK : LCMP_ERROR_CALLBACK;
}

int32_t Subscribe(LCMPValueListFunction function) noexcept {
    std::lock_guard lock(gNotifyMutex);
    return SubscribeLocked(function);
}

// Device mode: the subscription is in place before its message leaves, so
// that no notification sent in answer to it is missed. No answer is awaited:
// the device's notify response reaches the callbacks of opcode 359.
// The subscription lock is held from the session check to the send: the end
// of a session releases the subscription under the same lock, so it either
// comes first (the check fails) or releases what this call installed; a
// send that finds the session ended takes the new subscription back.
int32_t DeviceNotify(const LCMPValueList *list, int32_t destinationKind, const uint8_t *deviceMac,
                     LCMPValueListFunction function, uint8_t flag) noexcept {
    uint8_t destination[6];
    if (const int32_t rc = DeviceDestinationCheck(destinationKind, deviceMac, destination); rc != 0) return rc;
    Buffer message;
    std::size_t size = 0;
    if (const int32_t rc = ComposeNotify(list, flag, &message, &size, true); rc != 0) return rc;
    if (size > kMaxWireMessage) return LCMP_ERROR_BAD_ARGS;  // beyond 16 segments: never sent
    const std::span<const uint8_t> bytes(message.get(), size);
    ObserveComposed(LCMP_NOTIFY_IND, bytes);
    std::lock_guard lock(gNotifyMutex);
    if (!LinkReady()) return LCMP_ERROR_SOCKET_NOT_OPENED;
    if (const int32_t rc = SubscribeLocked(function); rc != 0) return rc;
    const int32_t rc = DeviceSend(destination, LCMP_NOTIFY_IND, bytes);
    if (rc == LCMP_ERROR_SOCKET_NOT_OPENED) DropSubscriptionLocked();
    return rc;
}

}  // namespace
}  // namespace lcmp

extern "C" int32_t LCMPNotify(LCMPValueList *list, int32_t destinationKind, const uint8_t *deviceMac,
                              LCMPValueListFunction function, uint8_t flag) {
    if (lcmp::RequestModeGet().mode == LCMP_REQUESTS_DEVICE)
        return lcmp::DeviceNotify(list, destinationKind, deviceMac, function, flag);
    {
        lcmp::Buffer message;
        std::size_t size = 0;
        if (const int32_t rc = lcmp::ComposeNotify(list, flag, &message, &size); rc != 0) return rc;
        lcmp::ObserveComposed(LCMP_NOTIFY_IND, {message.get(), size});
    }  // the subscription message is released untransmitted

    return lcmp::Subscribe(function);
}
