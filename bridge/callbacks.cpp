// Java callbacks: registration and unregistration of callback objects, the
// Notify subscription, and CallbackCtoJava, which delivers received messages
// to the objects on the receive thread.
//
// A registered object is held by a weak global reference, with its
// LCMPCallBack method, in the JavaOwner of its CallbackData's owner word.
// The JavaOwner and its reference are deleted when the record is
// finally released: at unregistration, or, when a delivery to the object is
// running at that moment, at the end of that delivery. So an unregistration
// never waits for a delivery and a delivery never uses a deleted reference.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "bridge.h"
#include "callback_data.h"
#include "registry.h"
#include "wrappers.h"

namespace {

using lcmp::bridge::DeliveryAttachment;
using lcmp::bridge::kLCMPCallBackSignature;
using lcmp::bridge::ScopedLocalRef;

struct Filters {
    int32_t filterType = -1;
    int32_t opcode = -1;
};

int32_t MapTlvType(JNIEnv *env, jobject type) {
    if (env->IsSameObject(type, HGF_PARAMETER_enumObj)) return LCMP_RECORD_PARAMETER;
    if (env->IsSameObject(type, HGF_WRITE_PARAMETER_enumObj)) return LCMP_RECORD_WRITE_CONFIRM;
    if (env->IsSameObject(type, HGF_NOTIFY_CONFIRM_enumObj)) return LCMP_RECORD_NOTIFY_CONFIRM;
    return -1;
}

int32_t MapOpcode(JNIEnv *env, jobject opcode) {
    if (env->IsSameObject(opcode, LCMP_READ_REQ_OPCODE_enumObj)) return LCMP_READ_REQ;
    if (env->IsSameObject(opcode, LCMP_WRITE_REQ_OPCODE_enumObj)) return LCMP_WRITE_REQ;
    if (env->IsSameObject(opcode, LCMP_WRITE_CNF_OPCODE_enumObj)) return LCMP_WRITE_CNF;
    if (env->IsSameObject(opcode, LCMP_READ_CNF_OPCODE_enumObj)) return LCMP_READ_CNF;
    if (env->IsSameObject(opcode, LCMP_NOTIFICATION_RSP_OPCODE_enumObj)) return LCMP_NOTIFY_RSP;
    return -1;
}

// The device a device-mode LCMP_Notify_Wrapper addresses, while it has the
// host register its one-shot callback on this thread: the registration
// takes notify responses from that device alone.
thread_local const uint8_t *tSubscribedDevice = nullptr;

bool Register(JNIEnv *env, jobject callback) {
    const ScopedLocalRef<jclass> cls(env, env->GetObjectClass(callback));
    if (!cls) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "Wrapper Driver Error: Unable to obtain LCMPAbstractCallBack child class.", newExcLCMPclass);
        return false;
    }
    const jmethodID getTlv = env->GetMethodID(
        cls.get(), "getFilterHGF_TLV_Type", "()LBrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPCommManager$HGF_TLV_Type;");
    if (getTlv == nullptr) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "Wrapper Driver Error: Unable to find getFilterHGF_TLV_Type() method ID.", newExcLCMPclass);
        return false;
    }
    const ScopedLocalRef<> tlv(env, env->CallObjectMethod(callback, getTlv));
    if (env->ExceptionCheck()) return false;
    if (!tlv) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "TLV Type Filter not found for the specified LCMPAbstractCallBack child class.",
                           newExcLCMPclass);
        return false;
    }
    Filters filters;
    filters.filterType = MapTlvType(env, tlv.get());
    const jmethodID getOpcode =
        env->GetMethodID(cls.get(), "getFilterLCMP_OPCODE_Type",
                         "()LBrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPCommManager$LCMP_OPCODE_Type;");
    if (getOpcode == nullptr) return false;  // the VM's NoSuchMethodError reaches the caller
    const ScopedLocalRef<> opcode(env, env->CallObjectMethod(callback, getOpcode));
    if (env->ExceptionCheck()) return false;
    if (!opcode) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "OPCODE Filter not found for the specified LCMPAbstractCallBack child class.",
                           newExcLCMPclass);
        return false;
    }
    filters.opcode = MapOpcode(env, opcode.get());
    if (filters.filterType < 0 || filters.opcode < 0) return false;

    // Looked up once here rather than at every delivery; the class stays
    // loaded while the object lives, which every delivery checks first.
    const jmethodID callBack = env->GetMethodID(cls.get(), "LCMPCallBack", kLCMPCallBackSignature);
    if (callBack == nullptr) env->ExceptionClear();  // a delivery reports it
    auto *owner = new (std::nothrow) lcmp::bridge::JavaOwner{env->NewWeakGlobalRef(callback), callBack};
    if (owner == nullptr || owner->object == nullptr) {
        delete owner;
        return false;
    }
    CallbackData *data = CallbackDataCreate(nullptr, filters.filterType, reinterpret_cast<uintptr_t>(owner), nullptr);
    if (data == nullptr) {
        lcmp::bridge::ReleaseWeakOwner(reinterpret_cast<uintptr_t>(owner));
        return false;
    }
    lcmp::CallbackDataSetOwnerRelease(data, lcmp::bridge::ReleaseWeakOwner);
    if (tSubscribedDevice != nullptr && filters.filterType == LCMP_RECORD_NOTIFY_CONFIRM) {
        data->senderFiltered = true;
        std::memcpy(data->sender, tSubscribedDevice, sizeof data->sender);
    }
    if (LCMPCallBackInstall(CallbackCtoJava, filters.opcode, data) == nullptr) {
        CallbackDataDestroy(data);  // deletes the owner too
        return false;
    }
    return true;
}

// The subscription's request list: one type 6 entry per element; null
// elements are skipped.
bool BuildNotifyRequest(JNIEnv *env, jobject list, lcmp::ValueListHolder &request) {
    const lcmp::bridge::IdValueClass notify{cls_HGF_NOTIFY, getNotifyType_methodID, getNotifyValue_methodID,
                                            "Error on LCMPNotify: a list element is not an HGF_NOTIFY_TLV.",
                                            "Error on LCMPNotify: getNotifyValue() returned null.",
                                            "Error on LCMPNotify: getNotifyValue() returned more than 65534 bytes."};
    return lcmp::bridge::BuildEntries(env, list, "Error generating TLVs to be sent via LCMPNotify.",
                                      [&](jobject element) -> std::optional<int32_t> {
                                          if (element == nullptr) return LCMP_OK;
                                          return lcmp::bridge::AppendIdAndValue(env, element, notify, LCMP_RECORD_NOTIFY,
                                                                                request.location());
                                      });
}

// After a delivery, a one-shot callback asks the host to unregister it.
// An exception thrown by the callback is set aside for the call and raised
// again afterwards, so the callback is unregistered even when it threw.
void UnregisterOneShot(JNIEnv *env, jobject target) {
    const ScopedLocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    if (thrown) env->ExceptionClear();
    const jboolean removed = env->CallStaticBooleanMethod(cls_LCMPCommManager, LCMP_UnRegisterCallBack_java_methodID, target);
    if (env->ExceptionCheck()) return;
    if (!removed) {
        std::puts("UNABLE TO UNREGISTER!");
        std::fflush(stdout);  // in order with what Java prints, also when stdout is a pipe
        throwLCMPException(
            lcmp::bridge::kBridgeError,
            "ERROR: Java UnRegisterCallBack was unable to unregister supplied one-shot Notify Callback object.",
            newExcLCMPclass);
        return;
    }
    if (thrown) env->Throw(thrown.get());
}

}  // namespace

namespace lcmp::bridge {

bool IsJavaCallback(const CallbackData *data) noexcept {
    return data != nullptr && data->owner != 0 && data->ownerRelease == ReleaseWeakOwner;
}

void ReleaseWeakOwner(uintptr_t owner) noexcept {
    if (owner == 0) return;
    auto *held = reinterpret_cast<JavaOwner *>(owner);
    const jweak object = held->object;
    delete held;
    if (jvm == nullptr) return;
    JNIEnv *env = nullptr;
    if (jvm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) == JNI_OK) {
        env->DeleteWeakGlobalRef(object);
        return;
    }
    // Released on a native thread at the end of a delivery.
    if (jvm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) return;
    env->DeleteWeakGlobalRef(object);
    jvm->DetachCurrentThread();
}

namespace {

// The receive thread's own attachment, set by ReceiveThreadAttach on that
// thread and cleared by ReceiveThreadDetach.
struct ReceiveThreadState {
    JNIEnv *env = nullptr;
    jobject thread = nullptr;  // its java.lang.Thread, a global reference
    jmethodID getHandler = nullptr;
    jmethodID uncaught = nullptr;
};
thread_local ReceiveThreadState tReceive;

}  // namespace

JNIEnv *ReceiveThreadEnv() noexcept { return tReceive.env; }

void ReceiveThreadAttach(const char *adapterName) noexcept {
    if (jvm == nullptr) return;
    char name[128];
    std::snprintf(name, sizeof name, "lcmp-receive %s", adapterName != nullptr ? adapterName : "");
    JavaVMAttachArgs args{JNI_VERSION_1_6, name, nullptr};
    JNIEnv *env = nullptr;
    if (jvm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &args) != JNI_OK) return;
    ReceiveThreadState state;
    {
        const ScopedLocalRef<jclass> threadClass(env, env->FindClass("java/lang/Thread"));
        const ScopedLocalRef<jclass> handlerClass(env, env->FindClass("java/lang/Thread$UncaughtExceptionHandler"));
        if (threadClass && handlerClass) {
            const jmethodID current = env->GetStaticMethodID(threadClass.get(), "currentThread", "()Ljava/lang/Thread;");
            state.getHandler = env->GetMethodID(threadClass.get(), "getUncaughtExceptionHandler",
                                                "()Ljava/lang/Thread$UncaughtExceptionHandler;");
            state.uncaught =
                env->GetMethodID(handlerClass.get(), "uncaughtException", "(Ljava/lang/Thread;Ljava/lang/Throwable;)V");
            if (current != nullptr && state.getHandler != nullptr && state.uncaught != nullptr) {
                const ScopedLocalRef<> self(env, env->CallStaticObjectMethod(threadClass.get(), current));
                if (!env->ExceptionCheck() && self) state.thread = env->NewGlobalRef(self.get());
            }
        }
    }
    if (state.thread == nullptr) {
        // Without its handler the thread could not hand exceptions over:
        // deliveries attach one by one instead.
        env->ExceptionClear();
        jvm->DetachCurrentThread();
        return;
    }
    state.env = env;
    tReceive = state;
}

void ReceiveThreadDetach() noexcept {
    JNIEnv *env = std::exchange(tReceive.env, nullptr);
    if (env == nullptr) return;
    env->DeleteGlobalRef(std::exchange(tReceive.thread, nullptr));
    jvm->DetachCurrentThread();
}

void ReceiveThreadHandOver(JNIEnv *env) noexcept {
    if (!env->ExceptionCheck()) return;
    const ScopedLocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    env->ExceptionClear();
    const ScopedLocalRef<> handler(env, env->CallObjectMethod(tReceive.thread, tReceive.getHandler));
    if (!env->ExceptionCheck() && handler)
        env->CallVoidMethod(handler.get(), tReceive.uncaught, tReceive.thread, thrown.get());
    // What the handler throws is dropped, as at the end of any thread.
    env->ExceptionClear();
}

}  // namespace lcmp::bridge

int CallbackCtoJava(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data) {
    if (records == nullptr || data == nullptr) return 0;
    if (data->senderFiltered && (sourceMac == nullptr || std::memcmp(sourceMac, data->sender, 6) != 0)) return 0;
    lcmp::ValueListHolder kept;
    const std::span<const uint8_t> area(records, length > 0 ? static_cast<std::size_t>(length) : 0);
    lcmp::WalkRecords(area, [&](const lcmp::Record &r) {
        if (static_cast<int32_t>(r.type) != data->filterType || r.value.empty()) return;
        (void)LCMPFullValueAdd(kept.location(), sourceMac, data->filterType, static_cast<uint16_t>(r.value.size()),
                               r.value.data());
    });
    if (kept.get() == nullptr || kept.get()->count == 0) return 0;

    const DeliveryAttachment attachment;
    JNIEnv *env = attachment.env();
    if (env == nullptr) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "Unable to attach CallbackCtoJava owner thread to JVM instance. ", newExcLCMPclass);
        return 0;
    }
    // On a thread that was attached already, an earlier delivery's exception
    // may still be pending: no call into Java is allowed until its owner
    // takes it.
    if (env->ExceptionCheck()) return 0;
    // Read before the call: the object may unregister itself in it.
    const bool oneShot = data->filterType == LCMP_RECORD_NOTIFY_CONFIRM;
    if (!lcmp::bridge::IsJavaCallback(data)) return 0;
    const lcmp::bridge::JavaOwner &owner = lcmp::bridge::OwnerOf(data->owner);
    const ScopedLocalRef<> target(env, env->NewLocalRef(owner.object));
    if (!target) return 0;  // the object was collected: nothing to deliver to
    const jmethodID method = owner.callBack;
    if (method == nullptr) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "ERROR: LCMPCallBack method ID NOT found for current LCMPCallback object. ", newExcLCMPclass);
        return 0;
    }
    {
        ScopedLocalRef<jbyteArray> source(env, env->NewByteArray(6));
        if (!source) return 0;
        if (sourceMac != nullptr)  // a C host may dispatch without one: the address reads as zeros
            env->SetByteArrayRegion(source.get(), 0, 6, reinterpret_cast<const jbyte *>(sourceMac));
        const ScopedLocalRef<> response(env, conformLCMPResponse(env, kept.get(), source.get()));
        if (!response) return 0;
        env->CallVoidMethod(target.get(), method, response.get());
        // Asked at once: whatever JNI call comes next (even one made by Java
        // code that the detach runs, such as an uncaught-exception handler)
        // must not follow an unchecked call. A thrown exception stays pending.
        (void)env->ExceptionCheck();
    }
    // From here the registration may be gone (the host unregistered it); only
    // the local reference to the object is used.
    if (oneShot) UnregisterOneShot(env, target.get());
    return 0;
}

extern "C" {

JNIEXPORT jboolean JNICALL
Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1RegisterCallBack_1Wrapper(JNIEnv *env, jobject,
                                                                                                 jobject callback) {
    if (callback == nullptr) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, "Error on LCMP_RegisterCallBack: the callback object is null.",
                           newExcLCMPclass);
        return JNI_FALSE;
    }
    return Register(env, callback) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL
Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1UnRegisterCallBack_1Wrapper(JNIEnv *env, jobject,
                                                                                                   jint position) {
    // The registry destroys the record, whose release deletes the weak
    // reference (now, or when a delivery in progress ends).
    if (LCMPCallBackJavaUninstall(position) == 0) return JNI_FALSE;
    return env->ExceptionCheck() ? JNI_FALSE : JNI_TRUE;
}

// For the reference host's list: how many of its oldest callbacks the
// library dropped at the end of a session, forgotten by both sides at once.
JNIEXPORT jint JNICALL
Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_takeDroppedPositions(JNIEnv *, jclass) {
    const int64_t dropped = lcmp::TakeDroppedJavaPositions();
    return static_cast<jint>(std::min<int64_t>(dropped, INT32_MAX));
}

JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Notify_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address, jbyte, jobject callback) {
    if (list == nullptr) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, "Error on LCMPNotify: the list of HGF_NOTIFY_TLVs is null.",
                           newExcLCMPclass);
        return;
    }
    if (address == nullptr || env->GetArrayLength(address) < 6) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, "Error on LCMPNotify: the device address must be an array of 6 bytes.",
                           newExcLCMPclass);
        return;
    }
    if (callback == nullptr) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, "Error on LCMPNotify: the callback object is null.", newExcLCMPclass);
        return;
    }
    lcmp::ValueListHolder request;
    if (!BuildNotifyRequest(env, list, request)) return;
    // In device mode a subscription to one device takes that device's notify
    // response only; a group subscription takes any device's.
    const bool device = lcmp::RequestModeGet().mode == LCMP_REQUESTS_DEVICE;
    jbyte subscribed[6] = {};
    env->GetByteArrayRegion(address, 0, 6, subscribed);
    tSubscribedDevice = device && destinationKind == LCMP_DESTINATION_DEVICE ? reinterpret_cast<uint8_t *>(subscribed)
                                                                              : nullptr;
    const jboolean registered =
        env->CallStaticBooleanMethod(cls_LCMPCommManager, LCMP_RegisterCallBack_java_methodID, callback);
    tSubscribedDevice = nullptr;
    if (env->ExceptionCheck()) return;
    if (!registered) {
        throwLCMPException(lcmp::bridge::kBridgeError,
                           "Driver Wrapper ERROR: Unable to install one-shot Java CallBack for Notify.", newExcLCMPclass);
        return;
    }
    int32_t rc;
    {
        const lcmp::bridge::ByteArrayElements mac(env, address);
        // The notifications go to LCMPSession's notification callback object, when one is set.
        rc = mac.data() == nullptr
                 ? LCMP_ERROR_MALLOC
                 : LCMPNotify(request.get(), destinationKind, mac.data(), lcmp::bridge::NotificationToJava, 0);
    }
    if (rc == LCMP_OK) return;
    if (device) {
        // No response will come for this call: its callback goes, so that it
        // cannot take the next subscription's response. Through the host,
        // which keeps its list and the library's positions in step.
        (void)env->CallStaticBooleanMethod(cls_LCMPCommManager, LCMP_UnRegisterCallBack_java_methodID, callback);
        if (env->ExceptionCheck()) return;
    }
    const auto text = device ? lcmp::bridge::DeviceFailureText("Error on LCMPNotify", rc, destinationKind) : std::nullopt;
    throwLCMPException(rc, text ? text->c_str() : "Error on LCMPNotify.", newExcLCMPclass);
}

}  // extern "C"
