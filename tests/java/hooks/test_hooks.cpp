// Native methods of lcmptest.TestHooks: what the Java tests cannot reach
// through the host's own native methods.
//
// This library carries its own, hidden copy of the whole library (bridge,
// engine and registry): liblcmp.so keeps throwLCMPException, the binding
// cache, the allocation seam and the composed messages to itself. initIDs
// below fills this copy's cache on the test's environment, so the tests run
// the same code against the same host classes, and can watch what the copy's
// wrappers hand the engine and make its allocations fail. Only
// Java_lcmptest_* symbols are exported; the copy of the host's native methods
// stays invisible to the JVM.
//
// Deliveries and C callbacks are the exception: they go to the
// CallbacksExecute and the registry of the liblcmp.so that the JVM loaded,
// which hold the callbacks that Java registered through the host. Those
// functions are looked up in that library by name, since the same names in
// this library bind to the copy.
#include <dlfcn.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <jni.h>
#include <jvmti.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "bridge.h"
#include "wrappers.h"

// The copy's native methods of the host.
extern "C" {
JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Read_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address);
JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Write_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address);
JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Control_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address);
JNIEXPORT void JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Notify_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address, jbyte, jobject callback);
}

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
    const lcmp::bridge::StringChars chars(env, text.get());
    return chars.get() != nullptr ? chars.get() : "null";
}

bool Attached(JNIEnv **env) { return jvm->GetEnv(reinterpret_cast<void **>(env), JNI_VERSION_1_8) == JNI_OK; }

// A function of the liblcmp.so the JVM loaded (not this copy's), or null when
// that library is not loaded.
void *LoadedFunction(const char *name) {
    void *library = dlopen(LCMP_LIBRARY_SONAME, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    void *found = dlsym(library, name);
    dlclose(library);  // the JVM keeps it loaded
    return found;
}

using CallbacksExecuteFunction = void (*)(const uint8_t *, int32_t, const uint8_t *, uint16_t);
CallbacksExecuteFunction LoadedCallbacksExecute() {
    const auto function = reinterpret_cast<CallbacksExecuteFunction>(LoadedFunction("CallbacksExecute"));
    return reinterpret_cast<void *>(function) != reinterpret_cast<void *>(&CallbacksExecute) ? function : nullptr;
}

// Calls of the C callback that installNativeCallback installs.
std::atomic<int> gNativeCalls{0};
int CountingCallback(const uint8_t *, const uint8_t *, int, CallbackData *) {
    gNativeCalls.fetch_add(1);
    return 0;
}

// What installNativeCallback installed in the loaded library.
struct Installed {
    CallbackEntry *entry;
    CallbackData *data;
};

// The last message the copy's engine composed during a hooked wrapper call.
std::mutex gComposedMutex;
bool gComposedSeen = false;
std::vector<uint8_t> gComposed;

void RecordComposed(int32_t, std::span<const uint8_t> message) noexcept {
    const std::lock_guard lock(gComposedMutex);
    gComposedSeen = true;
    gComposed.assign(message.begin(), message.end());
}

// Sends what is written to the standard output (C streams and Java alike) to
// a temporary file for the life of the object; text() ends the capture and
// hands back what was written.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = file_ != nullptr ? dup(STDOUT_FILENO) : -1;
        if (saved_ >= 0) dup2(fileno(file_), STDOUT_FILENO);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    ~StdoutCapture() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
    }
    std::string text() {
        restore();
        std::string captured;
        if (file_ == nullptr) return captured;
        std::rewind(file_);
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) captured.append(buffer, n);
        return captured;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::FILE *file_ = nullptr;
    int saved_ = -1;
};

std::vector<uint8_t> Bytes(JNIEnv *env, jbyteArray array) {
    std::vector<uint8_t> bytes(array != nullptr ? static_cast<std::size_t>(env->GetArrayLength(array)) : 0);
    if (!bytes.empty())
        env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<jbyte *>(bytes.data()));
    return bytes;
}

jbyteArray NewByteArray(JNIEnv *env, const std::vector<uint8_t> &bytes) {
    jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (array != nullptr && !bytes.empty())
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<const jbyte *>(bytes.data()));
    return array;
}

void ThrowIllegalState(JNIEnv *env, const char *message) {
    const ScopedLocalRef<jclass> illegalState(env, env->FindClass("java/lang/IllegalStateException"));
    if (illegalState) env->ThrowNew(illegalState.get(), message);
}

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
    const lcmp::bridge::StringChars chars(env, message);
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
        const lcmp::bridge::StringChars chars(env, message);
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

// Hands one message (source address, opcode, payload) `times` times to the
// CallbacksExecute of the loaded liblcmp.so, on a new native thread, and
// waits for it. The thread was never attached to the JVM, unless
// `attachFirst` asks it to attach itself before the first delivery (as a
// host's own attached thread would be). Reports whether that thread was
// still attached afterwards, the exception pending on it then (taken off
// before it detaches) and, when asked, what the process wrote to its
// standard output meanwhile.
extern "C" JNIEXPORT jobject JNICALL Java_lcmptest_TestHooks_deliver(JNIEnv *env, jclass, jbyteArray source,
                                                                     jint opcode, jbyteArray payload, jint times,
                                                                     jboolean captureStdout, jboolean attachFirst) {
    const CallbacksExecuteFunction execute = LoadedCallbacksExecute();
    if (execute == nullptr) {
        ThrowIllegalState(env, "liblcmp.so is not loaded: initialise LCMPCommManager first");
        return nullptr;
    }
    std::vector<uint8_t> mac = Bytes(env, source);
    mac.resize(6);
    const std::vector<uint8_t> message = Bytes(env, payload);
    bool attachedAfter = false;
    jobject pending = nullptr;  // a global reference, made on the delivery thread
    std::string printed;
    {
        std::optional<StdoutCapture> capture;
        if (captureStdout) capture.emplace();
        std::thread([&] {
            JNIEnv *threadEnv = nullptr;
            if (attachFirst && jvm->AttachCurrentThread(reinterpret_cast<void **>(&threadEnv), nullptr) != JNI_OK) return;
            for (jint i = 0; i < times; ++i)
                execute(mac.data(), opcode, message.data(), static_cast<uint16_t>(message.size()));
            attachedAfter = Attached(&threadEnv);
            if (!attachedAfter) return;
            {
                const ScopedLocalRef<jthrowable> thrown(threadEnv, threadEnv->ExceptionOccurred());
                threadEnv->ExceptionClear();
                if (thrown) pending = threadEnv->NewGlobalRef(thrown.get());
            }
            jvm->DetachCurrentThread();
        }).join();
        if (capture) printed = capture->text();
    }
    const ScopedLocalRef<> pendingLocal(env, pending != nullptr ? env->NewLocalRef(pending) : nullptr);
    if (pending != nullptr) env->DeleteGlobalRef(pending);
    const ScopedLocalRef<jclass> outcome(env, env->FindClass("lcmptest/TestHooks$Delivery"));
    if (!outcome) return nullptr;
    const jmethodID constructor =
        env->GetMethodID(outcome.get(), "<init>", "(Ljava/lang/String;ZLjava/lang/Throwable;)V");
    if (constructor == nullptr) return nullptr;
    const ScopedLocalRef<jstring> text(env, captureStdout ? env->NewStringUTF(printed.c_str()) : nullptr);
    if (env->ExceptionCheck()) return nullptr;
    return env->NewObject(outcome.get(), constructor, text.get(), static_cast<jboolean>(attachedAfter),
                          pendingLocal.get());
}

// Runs the copy's read (0), write (1), control (2) or notify (3) wrapper and
// reports the message its engine composed (null when none was), the response
// and the exception left pending (taken off the thread).
extern "C" JNIEXPORT jobject JNICALL Java_lcmptest_TestHooks_runCopy(JNIEnv *env, jclass, jint wrapper,
                                                                     jbyte destinationKind, jobject list,
                                                                     jbyteArray address, jobject callback) {
    {
        const std::lock_guard lock(gComposedMutex);
        gComposedSeen = false;
        gComposed.clear();
    }
    lcmp::SetComposedMessageObserver(RecordComposed);
    ScopedLocalRef<> response(env, nullptr);
    switch (wrapper) {
        case 0:
            response.reset(Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Read_1Wrapper(
                env, nullptr, destinationKind, 0, list, address));
            break;
        case 1:
            response.reset(Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Write_1Wrapper(
                env, nullptr, destinationKind, 0, list, address));
            break;
        case 2:
            response.reset(Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Control_1Wrapper(
                env, nullptr, destinationKind, 0, list, address));
            break;
        default:
            Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Notify_1Wrapper(
                env, nullptr, destinationKind, 0, list, address, 0, callback);
            break;
    }
    lcmp::SetComposedMessageObserver(nullptr);
    const ScopedLocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    env->ExceptionClear();
    ScopedLocalRef<jbyteArray> composed(env, nullptr);
    {
        const std::lock_guard lock(gComposedMutex);
        if (gComposedSeen) composed.reset(NewByteArray(env, gComposed));
    }
    if (env->ExceptionCheck()) return nullptr;
    const ScopedLocalRef<jclass> outcome(env, env->FindClass("lcmptest/TestHooks$CopyOutcome"));
    if (!outcome) return nullptr;
    const jmethodID constructor =
        env->GetMethodID(outcome.get(), "<init>", "([BLjava/lang/Object;Ljava/lang/Throwable;)V");
    if (constructor == nullptr) return nullptr;
    return env->NewObject(outcome.get(), constructor, composed.get(), response.get(), thrown.get());
}

// The copy's conformLCMPResponse over a value list of the given entries
// (types[i], values[i]), with `address` as the response's device address.
extern "C" JNIEXPORT jobject JNICALL Java_lcmptest_TestHooks_conform(JNIEnv *env, jclass, jintArray types,
                                                                     jobjectArray values, jbyteArray address) {
    lcmp::ValueListHolder list;
    const jsize count = env->GetArrayLength(types);
    for (jsize i = 0; i < count; ++i) {
        jint type = 0;
        env->GetIntArrayRegion(types, i, 1, &type);
        const ScopedLocalRef<jbyteArray> value(env, static_cast<jbyteArray>(env->GetObjectArrayElement(values, i)));
        const std::vector<uint8_t> bytes = Bytes(env, value.get());
        if (LCMPFullValueAdd(list.location(), nullptr, type, static_cast<uint16_t>(bytes.size()), bytes.data()) != 0) {
            ThrowIllegalState(env, "LCMPFullValueAdd failed");
            return nullptr;
        }
    }
    return conformLCMPResponse(env, list.get(), address);
}

// Allocations of the copy's seam since the last failAllocation.
extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_allocationCount(JNIEnv *, jclass) {
    return static_cast<jint>(lcmp::testing::AllocationCount());
}

// Installs, in the loaded liblcmp.so, a C callback for `opcode` whose
// CallbackData has the given record type and owner word, as a C host of the
// library would. Returns the handle for uninstallNativeCallback, or 0.
extern "C" JNIEXPORT jlong JNICALL Java_lcmptest_TestHooks_installNativeCallback(JNIEnv *, jclass, jint opcode,
                                                                                 jint filterType, jlong owner) {
    using Create = CallbackData *(*)(LCMPValueList **, int32_t, uintptr_t, LCMPValueListFunction);
    using Install = CallbackEntry *(*)(LCMPCallBackFunction, int32_t, CallbackData *);
    const auto create = reinterpret_cast<Create>(LoadedFunction("CallbackDataCreate"));
    const auto install = reinterpret_cast<Install>(LoadedFunction("LCMPCallBackInstall"));
    if (create == nullptr || install == nullptr) return 0;
    gNativeCalls.store(0);
    CallbackData *data = create(nullptr, filterType, static_cast<uintptr_t>(owner), nullptr);
    if (data == nullptr) return 0;
    CallbackEntry *entry = install(CountingCallback, opcode, data);
    return reinterpret_cast<jlong>(new Installed{entry, data});
}

// Removes what installNativeCallback installed and returns how often the C
// callback was called.
extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_uninstallNativeCallback(JNIEnv *, jclass, jlong handle) {
    using Uninstall = int32_t (*)(CallbackEntry *);
    using Destroy = void (*)(CallbackData *);
    auto *installed = reinterpret_cast<Installed *>(handle);
    if (installed == nullptr) return -1;
    reinterpret_cast<Uninstall>(LoadedFunction("LCMPCallBackUninstall"))(installed->entry);
    reinterpret_cast<Destroy>(LoadedFunction("CallbackDataDestroy"))(installed->data);
    delete installed;
    return gNativeCalls.load();
}

// ---- Sessions of the loaded library on a real adapter ----

// LCMPInit of the loaded liblcmp.so on `adapter`; its result.
extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_sessionOpen(JNIEnv *env, jclass, jstring adapter) {
    using InitFunction = int32_t (*)(const char *);
    const auto init = reinterpret_cast<InitFunction>(LoadedFunction("LCMPInit"));
    if (init == nullptr) {
        ThrowIllegalState(env, "liblcmp.so is not loaded: initialise LCMPCommManager first");
        return 0;
    }
    const lcmp::bridge::StringChars name(env, adapter);
    return name.get() != nullptr ? init(name.get()) : LCMP_ERROR_BAD_ARGS;
}

// LCMPEnd of the loaded liblcmp.so.
extern "C" JNIEXPORT void JNICALL Java_lcmptest_TestHooks_sessionEnd(JNIEnv *, jclass) {
    using EndFunction = void (*)();
    if (const auto end = reinterpret_cast<EndFunction>(LoadedFunction("LCMPEnd"))) end();
}

extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_injectRepeated(JNIEnv *env, jclass, jstring adapter,
                                                                          jbyteArray frame, jint times);

// Sends `frame` as it is on `adapter` through a raw packet socket (the
// other end of the test's veth pair). 0, or the errno of the failure.
extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_injectFrame(JNIEnv *env, jclass hooks, jstring adapter,
                                                                       jbyteArray frame) {
    return Java_lcmptest_TestHooks_injectRepeated(env, hooks, adapter, frame, 1);
}

// The adapter's MAC address, through the loaded library's MacAddressGet.
extern "C" JNIEXPORT jbyteArray JNICALL Java_lcmptest_TestHooks_adapterAddress(JNIEnv *env, jclass, jstring adapter) {
    using AddressFunction = int32_t (*)(const char *, uint8_t *);
    const auto get = reinterpret_cast<AddressFunction>(LoadedFunction("MacAddressGet"));
    const lcmp::bridge::StringChars name(env, adapter);
    uint8_t mac[6] = {};
    if (get == nullptr || name.get() == nullptr || get(name.get(), mac) != 0) return nullptr;
    jbyteArray out = env->NewByteArray(6);
    if (out != nullptr) env->SetByteArrayRegion(out, 0, 6, reinterpret_cast<const jbyte *>(mac));
    return out;
}

// Sends `frame` `times` times on `adapter` through one raw packet socket
// (opening and closing a packet socket waits for the kernel's network grace
// period, so a socket per frame sends only a hundred frames a second). 0, or
// the errno of the first failure.
extern "C" JNIEXPORT jint JNICALL Java_lcmptest_TestHooks_injectRepeated(JNIEnv *env, jclass, jstring adapter,
                                                                          jbyteArray frame, jint times) {
    const lcmp::bridge::StringChars name(env, adapter);
    const std::vector<uint8_t> bytes = Bytes(env, frame);
    if (name.get() == nullptr) return EINVAL;
    const unsigned index = if_nametoindex(name.get());
    if (index == 0) return errno;
    const int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) return errno;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(index);
    to.sll_halen = 6;
    std::copy(bytes.begin(), bytes.begin() + std::min<std::size_t>(6, bytes.size()), to.sll_addr);
    int error = 0;
    for (jint i = 0; i < times && error == 0; ++i) {
        const ssize_t sent =
            sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        error = sent == static_cast<ssize_t>(bytes.size()) ? 0 : (sent < 0 ? errno : EMSGSIZE);
    }
    close(fd);
    return error;
}

// The JNI global and local references the JVM holds now, on every thread:
// {globals, locals}, counted as the roots of a JVMTI heap walk.
extern "C" JNIEXPORT jlongArray JNICALL Java_lcmptest_TestHooks_jniReferenceCounts(JNIEnv *env, jclass) {
    JavaVM *vm = nullptr;
    jvmtiEnv *ti = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK || vm->GetEnv(reinterpret_cast<void **>(&ti), JVMTI_VERSION_1_2) != JNI_OK) {
        ThrowIllegalState(env, "no JVMTI environment");
        return nullptr;
    }
    jvmtiCapabilities capabilities{};
    capabilities.can_tag_objects = 1;
    jvmtiHeapCallbacks callbacks{};
    callbacks.heap_reference_callback = [](jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo *, jlong, jlong,
                                           jlong, jlong *, jlong *, jint, void *counts) -> jint {
        if (kind == JVMTI_HEAP_REFERENCE_JNI_GLOBAL) ++static_cast<jlong *>(counts)[0];
        if (kind == JVMTI_HEAP_REFERENCE_JNI_LOCAL) ++static_cast<jlong *>(counts)[1];
        return 0;  // the roots only
    };
    jlong counts[2] = {};
    const bool walked = ti->AddCapabilities(&capabilities) == JVMTI_ERROR_NONE &&
                        ti->FollowReferences(0, nullptr, nullptr, &callbacks, counts) == JVMTI_ERROR_NONE;
    ti->DisposeEnvironment();
    if (!walked) {
        ThrowIllegalState(env, "the JVMTI heap walk failed");
        return nullptr;
    }
    jlongArray out = env->NewLongArray(2);
    if (out != nullptr) env->SetLongArrayRegion(out, 0, 2, counts);
    return out;
}
