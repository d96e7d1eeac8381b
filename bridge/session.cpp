// LCMPSession's native methods: an adapter session in device mode (the
// session, its receive thread attached to the JVM for its life, then
// LCMPRequestModeSet), its end (LCMPEnd: device mode stays chosen, so
// requests fail until a session opens again), the return to local answers,
// the names of the adapters a session can be opened on, and the Java object
// that receives the notifications of the Notify subscription.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "LCMP_socket.h"
#include "adapters.h"
#include "bridge.h"
#include "wrappers.h"

namespace {

using lcmp::bridge::DeliveryAttachment;
using lcmp::bridge::kLCMPCallBackSignature;
using lcmp::bridge::ScopedLocalRef;
using lcmp::bridge::StringChars;

// The settings local mode starts with; set again by useLocalAnswers.
constexpr uint32_t kLocalTimeoutMs = 500;
constexpr uint32_t kLocalAttempts = 3;

// Makes open (LCMPInit and the switch to device mode) and close (LCMPEnd,
// which also releases the subscription) one step each with respect to each
// other, so that neither lands between the two halves of the other. Never
// taken on the receive thread: a close holding it waits for that thread.
std::mutex gOpenCloseMutex;

// Raises the failure of open with "Error on LCMPSession.open: " before the detail.
void RaiseOpenFailure(int32_t code, const std::string &detail) {
    const std::string message = "Error on LCMPSession.open: " + detail;
    throwLCMPException(code, message.c_str(), newExcLCMPclass);
}

// The exceptions of open are raised through the binding cache; without it
// (initIDs not called) a failure would go unreported, so the call is refused.
bool BindingCacheReady(JNIEnv *env) {
    if (jvm != nullptr && newExcLCMPclass != nullptr && LCMPTimeOutExceptionclass != nullptr) return true;
    const ScopedLocalRef<jclass> state(env, env->FindClass("java/lang/IllegalStateException"));
    if (state) env->ThrowNew(state.get(), "LCMPCommManager.initIDs() must be called before LCMPSession is used");
    return false;
}

// Whether `name` is one of the adapters a session can be opened on.
bool Listed(const char *name) {
    try {
        for (const std::string &adapter : lcmp::AdapterNames())
            if (adapter == name) return true;
    } catch (...) {
    }
    return false;
}

std::string NotOpenedDetail(const char *adapter, const char *javaBinary) {
    std::string detail = "unable to open the adapter \"" + std::string(adapter) + "\": ";
    if (lcmp::AdapterDown(adapter)) return detail + "it is down; bring it up first (ip link set " + adapter + " up).";
    detail += Listed(adapter) ? "capturing on it needs"
                              : "there is no adapter of that name with an Ethernet link (LCMPSession.adapters() "
                                "lists them), and capturing on one needs";
    detail += " root, or the capabilities on the Java binary: setcap cap_net_raw,cap_net_admin+eip ";
    detail += javaBinary != nullptr && *javaBinary != 0 ? javaBinary : "$(readlink -f \"$(which java)\")";
    detail += ".";
    return detail;
}

void Open(JNIEnv *env, jstring adapter, jint timeoutMs, jint attempts, jstring javaBinary) {
    if (!BindingCacheReady(env)) return;
    if (adapter == nullptr) {
        RaiseOpenFailure(LCMP_ERROR_BAD_ARGS, "the adapter name is null.");
        return;
    }
    if (timeoutMs <= 0 || attempts <= 0) {
        RaiseOpenFailure(LCMP_ERROR_BAD_ARGS, "the timeout (" + std::to_string(timeoutMs) + " ms) and the attempts (" +
                                                  std::to_string(attempts) + ") must be at least 1.");
        return;
    }
    if (lcmp::CalledOnReceiveThread()) {
        RaiseOpenFailure(LCMP_ERROR_BAD_ARGS,
                         "sessions cannot be opened from the receive thread (a callback); open it on another thread.");
        return;
    }
    const StringChars name(env, adapter);
    if (name.get() == nullptr) return;  // the VM's OutOfMemoryError is pending

    const std::lock_guard step(gOpenCloseMutex);
    // The receive thread stays attached to this JVM while the session lasts.
    const int32_t rc = lcmp::LCMPSocketInit(
        name.get(), {lcmp::bridge::ReceiveThreadAttach, lcmp::bridge::ReceiveThreadDetach});
    if (rc == LCMP_ERROR_BAD_ARGS) {
        RaiseOpenFailure(rc, strnlen(name.get(), lcmp::kInterfaceNameSize) >= lcmp::kInterfaceNameSize
                                 ? "the adapter name has 100 characters or more."
                                 : "a session is open already; close it before opening another.");
        return;
    }
    if (rc == LCMP_ERROR_SOCKET_NOT_OPENED) {
        const StringChars binary(env, javaBinary);
        if (env->ExceptionCheck()) env->ExceptionClear();  // the message does without the path
        RaiseOpenFailure(rc, NotOpenedDetail(name.get(), binary.get()));
        return;
    }
    if (rc != LCMP_OK) {
        LCMPEnd();  // the adapter may be open without its receive thread
        RaiseOpenFailure(rc, "the session on \"" + std::string(name.get()) + "\" could not be started.");
        return;
    }
    const int32_t mode =
        LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, static_cast<uint32_t>(timeoutMs), static_cast<uint32_t>(attempts));
    if (mode != LCMP_OK) {
        LCMPEnd();
        RaiseOpenFailure(mode, "device mode could not be set.");
    }
}

// The notification callback object (a global reference), or null, and its
// LCMPCallBack. The mutex guards only these two: a delivery takes a local
// reference of its own under it and calls the object without it.
std::mutex gNotificationMutex;
jobject gNotificationCallBack = nullptr;
jmethodID gNotificationMethod = nullptr;

// A local reference to the notification callback object, or null, and its method.
jobject NotificationCallBack(JNIEnv *env, jmethodID &method) {
    const std::lock_guard lock(gNotificationMutex);
    method = gNotificationMethod;
    return gNotificationCallBack != nullptr && method != nullptr ? env->NewLocalRef(gNotificationCallBack) : nullptr;
}

// The response of one notification: the sender's address and one
// HGF_NOTIFY_TLV (notify type, then value) per record. Null with the
// exception pending when a Java call fails.
jobject NotificationResponse(JNIEnv *env, const LCMPValueList *list) {
    const ScopedLocalRef<jbyteArray> source(env, env->NewByteArray(6));
    if (!source) return nullptr;
    env->SetByteArrayRegion(source.get(), 0, 6, reinterpret_cast<const jbyte *>(list->first->sourceMac));
    ScopedLocalRef<> response(env, env->NewObject(cls_LCMPResponse, constructor_LCMPResponse, source.get()));
    if (!response) return nullptr;
    for (const LCMPValue *v = list->first; v != nullptr; v = v->next) {
        if (v->length == 0) continue;  // no notify type
        const auto rest = static_cast<jsize>(v->length - 1);
        const ScopedLocalRef<jbyteArray> value(env, env->NewByteArray(rest));
        if (!value) return nullptr;
        env->SetByteArrayRegion(value.get(), 0, rest, reinterpret_cast<const jbyte *>(v->value + 1));
        const ScopedLocalRef<> tlv(env, env->NewObject(cls_HGF_NOTIFY, constructor_HGF_NOTIFY_TLV,
                                                       static_cast<jbyte>(v->value[0]), value.get()));
        if (!tlv) return nullptr;
        env->CallVoidMethod(response.get(), addHGF_TLV_methodID, tlv.get());
        if (env->ExceptionCheck()) return nullptr;
    }
    return response.release();
}

}  // namespace

void lcmp::bridge::NotificationToJava(LCMPValueList *list) {
    if (list == nullptr || list->first == nullptr || jvm == nullptr) return;
    {
        const std::lock_guard lock(gNotificationMutex);
        if (gNotificationCallBack == nullptr) return;  // nobody to tell: no attach
    }
    const DeliveryAttachment attachment;
    JNIEnv *env = attachment.env();
    // A thread attached already may hold its owner's pending exception.
    if (env == nullptr || env->ExceptionCheck()) return;
    jmethodID method = nullptr;
    const ScopedLocalRef<> target(env, NotificationCallBack(env, method));
    if (!target) return;
    const ScopedLocalRef<> response(env, NotificationResponse(env, list));
    if (!response) return;
    // An exception thrown here goes, as for every delivery, to the thread's
    // uncaught-exception handler after the delivery.
    env->CallVoidMethod(target.get(), method, response.get());
}

extern "C" {

JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPSession_nativeOpen(
    JNIEnv *env, jclass, jstring adapter, jint timeoutMs, jint attempts, jstring javaBinary) {
    Open(env, adapter, timeoutMs, attempts, javaBinary);
}

// The mode stays device mode: a request made during or after the end fails
// with LCMP_ERROR_SOCKET_NOT_OPENED rather than being answered locally as if
// it had reached a device. From a callback LCMPEnd only requests the stop.
JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPSession_nativeClose(JNIEnv *, jclass) {
    if (lcmp::CalledOnReceiveThread()) {
        LCMPEnd();
        return;
    }
    const std::lock_guard step(gOpenCloseMutex);
    LCMPEnd();
}

JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPSession_useLocalAnswers(JNIEnv *, jclass) {
    (void)LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, kLocalTimeoutMs, kLocalAttempts);
}

JNIEXPORT jobjectArray JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPSession_adapters(JNIEnv *env,
                                                                                                      jclass) {
    std::vector<std::string> names;
    try {
        names = lcmp::AdapterNames();
    } catch (...) {
        const ScopedLocalRef<jclass> oom(env, env->FindClass("java/lang/OutOfMemoryError"));
        if (oom) env->ThrowNew(oom.get(), "LCMPSession.adapters");
        return nullptr;
    }
    const ScopedLocalRef<jclass> string(env, env->FindClass("java/lang/String"));
    if (!string) return nullptr;
    ScopedLocalRef<jobjectArray> array(env, env->NewObjectArray(static_cast<jsize>(names.size()), string.get(), nullptr));
    if (!array) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ScopedLocalRef<jstring> name(env, env->NewStringUTF(names[i].c_str()));
        if (!name) return nullptr;
        env->SetObjectArrayElement(array.get(), static_cast<jsize>(i), name.get());
    }
    return array.release();
}

// Replaces the notification callback object; null removes it.
JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPSession_setNotificationCallBack(
    JNIEnv *env, jclass, jobject callBack) {
    if (!BindingCacheReady(env)) return;
    jmethodID method = nullptr;
    if (callBack != nullptr) {
        const ScopedLocalRef<jclass> cls(env, env->GetObjectClass(callBack));
        method = env->GetMethodID(cls.get(), "LCMPCallBack", kLCMPCallBackSignature);
        if (method == nullptr) return;  // the VM's NoSuchMethodError is pending
    }
    const jobject global = callBack != nullptr ? env->NewGlobalRef(callBack) : nullptr;
    if (callBack != nullptr && global == nullptr) return;  // the VM's OutOfMemoryError is pending
    jobject old;
    {
        const std::lock_guard lock(gNotificationMutex);
        old = gNotificationCallBack;
        gNotificationCallBack = global;
        gNotificationMethod = method;
    }
    if (old != nullptr) env->DeleteGlobalRef(old);
}

}  // extern "C"
