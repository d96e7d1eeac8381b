// Native methods of lcmptest.TestHooks: what the Java tests cannot reach
// through the host's own native methods.
//
// This library carries its own, hidden copy of the bridge's binding and
// exception sources (and of the allocation seam they use): liblcmp.so keeps
// throwLCMPException and the binding cache to itself. initIDs below fills
// this copy's cache on the test's environment, so the exception tests run the
// same code against the same host classes. Only Java_lcmptest_* symbols are
// exported; the copy of the host's native methods stays invisible to the JVM.
#include <jni.h>

#include <iterator>
#include <string>
#include <thread>

#include "LCMP_comm.h"
#include "bridge.h"

// The copy of initIDs compiled into this library.
extern "C" JNIEXPORT jint JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_initIDs(JNIEnv *env,
                                                                                                         jclass cls);

namespace {

using lcmp::bridge::ScopedLocalRef;

// How many lookups of initIDs, counted in lookup order, have their globals
// set: after a failure, exactly the lookups before the failing one.
int FilledLookups() {
    const bool rows[] = {
        newExcLCMPclass != nullptr,
        LCMPTimeOutExceptionclass != nullptr,
        LCMPCallBackNotInstalledclass != nullptr,
        cls_LCMPCommManager != nullptr,
        LCMP_RegisterCallBack_java_methodID != nullptr,
        LCMP_UnRegisterCallBack_java_methodID != nullptr,
        cls_LCMPResponse != nullptr,
        constructor_LCMPResponse != nullptr,
        addHGF_TLV_methodID != nullptr,
        setErrorCode_methodID != nullptr,
        cls_HGF_TLV_Type != nullptr,
        fid_HGF_PARAMETER != nullptr && HGF_PARAMETER_enumObj != nullptr,
        fid_HGF_WRITE_PARAMETER_CONFIRM != nullptr && HGF_WRITE_PARAMETER_enumObj != nullptr,
        fid_HGF_CONTROL_CONFIRM != nullptr && HGF_CONTROL_CONFIRM_enumObj != nullptr,
        fid_HGF_NOTIFY_CONFIRM != nullptr && HGF_NOTIFY_CONFIRM_enumObj != nullptr,
        cls_LCMP_OPCODE_Type != nullptr,
        fid_LCMP_READ_REQ_OPCODE != nullptr && LCMP_READ_REQ_OPCODE_enumObj != nullptr,
        fid_LCMP_WRITE_REQ_OPCODE != nullptr && LCMP_WRITE_REQ_OPCODE_enumObj != nullptr,
        fid_LCMP_WRITE_CNF_OPCODE != nullptr && LCMP_WRITE_CNF_OPCODE_enumObj != nullptr,
        fid_LCMP_READ_CNF_OPCODE != nullptr && LCMP_READ_CNF_OPCODE_enumObj != nullptr,
        fid_LCMP_NOTIFICATION_RSP_OPCODE != nullptr && LCMP_NOTIFICATION_RSP_OPCODE_enumObj != nullptr,
        cls_HGF_READ_PARAM_TLV != nullptr,
        constructor_HGF_READ_PARAM_TLV != nullptr,
        methodID_HGF_READ_PARAM_TLV_getParameterId != nullptr,
        cls_HGF_PARAMETER_TLV != nullptr,
        constructor_HGF_PARAMETER_TLV != nullptr,
        getParameterType_methodID != nullptr,
        getParameterValue_methodID != nullptr,
        cls_HGF_CONFIRM != nullptr,
        constructor_HGF_CONFIRM != nullptr,
        addParameter_methodID != nullptr,
        cls_HGF_NOTIFY != nullptr,
        constructor_HGF_NOTIFY_TLV != nullptr,
        getNotifyType_methodID != nullptr,
        getNotifyValue_methodID != nullptr,
        cls_ArrayList != nullptr,
        get_arrayList_methodID != nullptr,
        size_arrayList_methodID != nullptr,
    };
    static_assert(std::size(rows) == 38);
    int filled = 0;
    while (filled < static_cast<int>(std::size(rows)) && rows[filled]) ++filled;
    return filled;
}

// The modified UTF-8 characters of a Java string, released at scope end.
class Utf {
public:
    Utf(JNIEnv *env, jstring text) noexcept
        : env_(env), text_(text), chars_(text ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
    Utf(const Utf &) = delete;
    Utf &operator=(const Utf &) = delete;
    ~Utf() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(text_, chars_);
    }
    const char *get() const noexcept { return chars_; }

private:
    JNIEnv *env_;
    jstring text_;
    const char *chars_;
};

// toString() of an object, or "none" for null.
std::string Describe(JNIEnv *env, jobject object) {
    if (object == nullptr) return "none";
    const ScopedLocalRef<jclass> objectClass(env, env->FindClass("java/lang/Object"));
    const jmethodID toString = env->GetMethodID(objectClass.get(), "toString", "()Ljava/lang/String;");
    const ScopedLocalRef<jstring> text(env, static_cast<jstring>(env->CallObjectMethod(object, toString)));
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return "toString failed";
    }
    const Utf chars(env, text.get());
    return chars.get() != nullptr ? chars.get() : "null";
}

bool Attached(JNIEnv **env) { return jvm->GetEnv(reinterpret_cast<void **>(env), JNI_VERSION_1_8) == JNI_OK; }

}  // namespace

// Runs the copy's initIDs and reports its result, the Java error it left
// pending (taken off the thread), how many lookups are cached and whether
// jvm is set.
extern "C" JNIEXPORT jobject JNICALL Java_lcmptest_TestHooks_initIDs(JNIEnv *env, jclass) {
    const jint result = Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_initIDs(env, nullptr);
    const ScopedLocalRef<jthrowable> pending(env, env->ExceptionOccurred());
    env->ExceptionClear();
    const ScopedLocalRef<jclass> outcome(env, env->FindClass("lcmptest/TestHooks$InitOutcome"));
    if (!outcome) return nullptr;
    const jmethodID constructor = env->GetMethodID(outcome.get(), "<init>", "(ILjava/lang/Throwable;IZ)V");
    if (constructor == nullptr) return nullptr;
    return env->NewObject(outcome.get(), constructor, result, pending.get(), static_cast<jint>(FilledLookups()),
                          static_cast<jboolean>(jvm != nullptr));
}

// throwLCMPException with the class newExcLCMPclass, or
// LCMPTimeOutExceptionclass; optionally with an IllegalStateException already
// pending.
extern "C" JNIEXPORT void JNICALL Java_lcmptest_TestHooks_throwLCMPException(JNIEnv *env, jclass, jint code,
                                                                             jstring message, jboolean timeoutClass,
                                                                             jboolean pendingFirst) {
    const Utf chars(env, message);
    if (pendingFirst) {
        const ScopedLocalRef<jclass> illegalState(env, env->FindClass("java/lang/IllegalStateException"));
        env->ThrowNew(illegalState.get(), "raised before throwLCMPException");
    }
    throwLCMPException(code, chars.get(), timeoutClass ? LCMPTimeOutExceptionclass : newExcLCMPclass);
}

// Makes the k-th allocation of this library's seam fail (0: none).
extern "C" JNIEXPORT void JNICALL Java_lcmptest_TestHooks_failAllocation(JNIEnv *, jclass, jint k) {
    lcmp::testing::FailAllocation(static_cast<std::size_t>(k));
}

// Calls throwLCMPException on a new native thread that was never attached
// and reports whether the thread was attached before and after the call and
// what was pending on it then. The thread detaches before it ends.
extern "C" JNIEXPORT jstring JNICALL Java_lcmptest_TestHooks_throwOnNativeThread(JNIEnv *env, jclass, jint code,
                                                                                 jstring message) {
    std::string text;
    {
        const Utf chars(env, message);
        if (chars.get() != nullptr) text = chars.get();
    }
    std::string report;
    std::thread([&] {
        JNIEnv *threadEnv = nullptr;
        const bool before = Attached(&threadEnv);
        throwLCMPException(code, text.c_str(), newExcLCMPclass);
        const bool after = Attached(&threadEnv);
        report = std::string("attached before: ") + (before ? "yes" : "no") + ", after: " + (after ? "yes" : "no");
        if (!after) return;
        {
            const ScopedLocalRef<jthrowable> pending(threadEnv, threadEnv->ExceptionOccurred());
            threadEnv->ExceptionClear();
            report += ", pending: " + Describe(threadEnv, pending.get());
        }
        jvm->DetachCurrentThread();
    }).join();
    return env->NewStringUTF(report.c_str());
}

// Calls a Java method and then another JNI function without asking whether
// the call threw: the fault -Xcheck:jni reports, for the test of the
// harness's warning check.
extern "C" JNIEXPORT void JNICALL Java_lcmptest_TestHooks_callWithoutExceptionCheck(JNIEnv *env, jclass hooks) {
    const jmethodID nothing = env->GetStaticMethodID(hooks, "nothing", "()V");
    if (nothing == nullptr) return;
    env->CallStaticVoidMethod(hooks, nothing);
    const ScopedLocalRef<jclass> again(env, env->GetObjectClass(hooks));
    env->ExceptionCheck();
}
