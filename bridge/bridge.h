// Internal interface of the Java bridge: the binding cache that initIDs fills,
// the one way the bridge raises Java exceptions, and RAII holders for JNI
// local references and byte-array elements.
//
// The cache is written by initIDs on one Java thread before any other native
// method of the bridge runs, and only read afterwards, from Java threads and
// from the receive thread, without locks. Class references and enum constants
// are weak global references; the classes stay loaded while the host's class
// loader lives, so they are used directly (or promoted with NewLocalRef where
// a strong reference matters). They are never released: the library has no
// unload hook.
#pragma once

#include <jni.h>

#include <cstdint>
#include <utility>

#include "error_message.h"

// ---- Binding cache ----
// Exception classes.
extern jclass newExcLCMPclass;
extern jclass LCMPTimeOutExceptionclass;
extern jclass LCMPCallBackNotInstalledclass;
// LCMPCommManager and its static registration methods.
extern jclass cls_LCMPCommManager;
extern jmethodID LCMP_RegisterCallBack_java_methodID;
extern jmethodID LCMP_UnRegisterCallBack_java_methodID;
// LCMPResponse.
extern jclass cls_LCMPResponse;
extern jmethodID constructor_LCMPResponse;
extern jmethodID addHGF_TLV_methodID;
extern jmethodID setErrorCode_methodID;
// HGF_TLV_Type and its constants.
extern jclass cls_HGF_TLV_Type;
extern jfieldID fid_HGF_PARAMETER;
extern jobject HGF_PARAMETER_enumObj;
extern jfieldID fid_HGF_WRITE_PARAMETER_CONFIRM;
extern jobject HGF_WRITE_PARAMETER_enumObj;
extern jfieldID fid_HGF_CONTROL_CONFIRM;
extern jobject HGF_CONTROL_CONFIRM_enumObj;
extern jfieldID fid_HGF_NOTIFY_CONFIRM;
extern jobject HGF_NOTIFY_CONFIRM_enumObj;
// LCMP_OPCODE_Type and its constants.
extern jclass cls_LCMP_OPCODE_Type;
extern jfieldID fid_LCMP_READ_REQ_OPCODE;
extern jobject LCMP_READ_REQ_OPCODE_enumObj;
extern jfieldID fid_LCMP_WRITE_REQ_OPCODE;
extern jobject LCMP_WRITE_REQ_OPCODE_enumObj;
extern jfieldID fid_LCMP_WRITE_CNF_OPCODE;
extern jobject LCMP_WRITE_CNF_OPCODE_enumObj;
extern jfieldID fid_LCMP_READ_CNF_OPCODE;
extern jobject LCMP_READ_CNF_OPCODE_enumObj;
extern jfieldID fid_LCMP_NOTIFICATION_RSP_OPCODE;
extern jobject LCMP_NOTIFICATION_RSP_OPCODE_enumObj;
// HGF_READ_PARAMETER_TLV.
extern jclass cls_HGF_READ_PARAM_TLV;
extern jmethodID constructor_HGF_READ_PARAM_TLV;
extern jmethodID methodID_HGF_READ_PARAM_TLV_getParameterId;
// HGF_PARAMETER_TLV.
extern jclass cls_HGF_PARAMETER_TLV;
extern jmethodID constructor_HGF_PARAMETER_TLV;
extern jmethodID getParameterType_methodID;  // the host method is spelled getParamterType
extern jmethodID getParameterValue_methodID;
// HGF_CONFIRM.
extern jclass cls_HGF_CONFIRM;
extern jmethodID constructor_HGF_CONFIRM;
extern jmethodID addParameter_methodID;
// HGF_NOTIFY_TLV.
extern jclass cls_HGF_NOTIFY;
extern jmethodID constructor_HGF_NOTIFY_TLV;
extern jmethodID getNotifyType_methodID;
extern jmethodID getNotifyValue_methodID;
// java.util.ArrayList.
extern jclass cls_ArrayList;
extern jmethodID get_arrayList_methodID;
extern jmethodID size_arrayList_methodID;
// The virtual machine, through which any thread obtains its environment.
extern JavaVM *jvm;

// Raises the exception for a failure on the calling thread, which it attaches
// to jvm if it is not attached yet (and leaves attached). Codes -21..-1 raise
// `cls` (LCMPTimeOutExceptionclass for -4, whatever `cls` is) with the
// message followed by the code's error identifier; -22 raises `cls` with the
// message unchanged; any other code raises nothing. An exception already
// pending on the thread is cleared first, so that this one is the one the
// caller sees. `message` is only read.
void throwLCMPException(int32_t code, const char *message, jclass cls);

namespace lcmp::bridge {

// Owns one JNI local reference and deletes it when the scope ends.
template <typename T = jobject>
class ScopedLocalRef {
public:
    ScopedLocalRef(JNIEnv *env, T ref) noexcept : env_(env), ref_(ref) {}
    ScopedLocalRef(ScopedLocalRef &&other) noexcept : env_(other.env_), ref_(std::exchange(other.ref_, nullptr)) {}
    ScopedLocalRef &operator=(ScopedLocalRef &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.ref_, nullptr));
            env_ = other.env_;
        }
        return *this;
    }
    ScopedLocalRef(const ScopedLocalRef &) = delete;
    ScopedLocalRef &operator=(const ScopedLocalRef &) = delete;
    ~ScopedLocalRef() { reset(); }

    T get() const noexcept { return ref_; }
    explicit operator bool() const noexcept { return ref_ != nullptr; }
    // Hands the reference over to the caller (a native method's result).
    T release() noexcept { return std::exchange(ref_, nullptr); }
    void reset(T ref = nullptr) noexcept {
        if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
        ref_ = ref;
    }

private:
    JNIEnv *env_;
    T ref_;
};

// The elements of a Java byte array for reading, released with JNI_ABORT
// (nothing is copied back) when the scope ends.
class ByteArrayElements {
public:
    ByteArrayElements(JNIEnv *env, jbyteArray array) noexcept
        : env_(env), array_(array), elements_(array ? env->GetByteArrayElements(array, nullptr) : nullptr) {}
    ByteArrayElements(const ByteArrayElements &) = delete;
    ByteArrayElements &operator=(const ByteArrayElements &) = delete;
    ~ByteArrayElements() {
        if (elements_ != nullptr) env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT);
    }

    // Null when the array is null or its elements could not be obtained.
    const uint8_t *data() const noexcept { return reinterpret_cast<const uint8_t *>(elements_); }

private:
    JNIEnv *env_;
    jbyteArray array_;
    jbyte *elements_;
};

// The descriptor of LCMPCallBack, looked up on each callback object's class.
inline constexpr const char *kLCMPCallBackSignature =
    "(LBrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPCommManager$LCMPResponse;)V";

// The receive thread of a session opened from Java: attached to the JVM as
// a daemon thread named "lcmp-receive ADAPTER" when the thread starts, and
// detached when it ends (the session's ReceiveThreadHooks). Null on any
// other thread, and when the attach failed.
JNIEnv *ReceiveThreadEnv() noexcept;
void ReceiveThreadAttach(const char *adapterName) noexcept;
void ReceiveThreadDetach() noexcept;

// After a delivery on the session's receive thread: hands an exception the
// callback left pending to the thread's uncaught-exception handler and
// clears it, as a detach would.
void ReceiveThreadHandOver(JNIEnv *env) noexcept;

// Brackets one delivery. On the session's receive thread (attached for the
// session's life) it opens a local frame, and closes it after handing a
// pending exception to the uncaught-exception handler. On any other thread
// that is not attached yet it attaches the thread as a daemon thread for the
// delivery and detaches it afterwards; a thread that was attached already
// (a Java thread dispatching itself) stays attached and keeps whatever the
// delivery left pending. env() is null when no environment is available.
class DeliveryAttachment {
public:
    DeliveryAttachment() noexcept {
        if (JNIEnv *held = ReceiveThreadEnv()) {
            if (held->PushLocalFrame(kDeliveryLocalRefs) == 0) {
                env_ = held;
                framed_ = true;
            } else {
                held->ExceptionClear();  // the OutOfMemoryError: no delivery
            }
            return;
        }
        if (jvm->GetEnv(reinterpret_cast<void **>(&env_), JNI_VERSION_1_6) == JNI_OK) return;
        env_ = nullptr;
        if (jvm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env_), nullptr) == JNI_OK) attached_ = true;
        else env_ = nullptr;
    }
    DeliveryAttachment(const DeliveryAttachment &) = delete;
    DeliveryAttachment &operator=(const DeliveryAttachment &) = delete;
    ~DeliveryAttachment() {
        if (framed_) {
            ReceiveThreadHandOver(env_);
            env_->PopLocalFrame(nullptr);
        } else if (attached_) {
            jvm->DetachCurrentThread();
        }
    }
    JNIEnv *env() const noexcept { return env_; }

private:
    // Room the frame is opened with; it grows beyond this when needed.
    static constexpr jint kDeliveryLocalRefs = 32;
    JNIEnv *env_ = nullptr;
    bool attached_ = false;
    bool framed_ = false;
};

// The modified UTF-8 characters of a Java string, released when the scope ends.
class StringChars {
public:
    StringChars(JNIEnv *env, jstring text) noexcept
        : env_(env), text_(text), chars_(text ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
    StringChars(const StringChars &) = delete;
    StringChars &operator=(const StringChars &) = delete;
    ~StringChars() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(text_, chars_);
    }
    // Null when the string is null or its characters could not be obtained.
    const char *get() const noexcept { return chars_; }

private:
    JNIEnv *env_;
    jstring text_;
    const char *chars_;
};

}  // namespace lcmp::bridge
