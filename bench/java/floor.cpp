// Native half of the Java benchmarks (lcmpbench.Floor): the physical floors
// that the library's Java rows are compared with, and the drivers that run
// the library itself the way the JVM's own threads would.
//
// - buildResponse: the LCMPResponse that LCMP_Read_Wrapper returns for ten
//   parameters, built with the JNI calls alone (no value list, no engine):
//   NewObject LCMPResponse, then per parameter NewByteArray,
//   SetByteArrayRegion, NewObject HGF_PARAMETER_TLV, CallVoidMethod
//   addHGF_TLV and the two DeleteLocalRef, with the exception checks that
//   correct JNI code needs after each call into Java.
// - readRequest: the other half of the conversion, reading the Java request
//   list (size, then per element get, IsInstanceOf, getParameterID).
// - attachCallDetach: on a fresh native thread, per cycle AttachCurrentThread,
//   one CallVoidMethod of the callback's LCMPCallBack with a ready response,
//   DetachCurrentThread: what any delivery from a native thread costs at the
//   least when the thread is attached for each delivery.
// - deliverThroughLibrary: on a fresh native thread, CallbacksExecute of the
//   loaded liblcmp.so for one message, as the receive thread calls it.
// - deliverHere / callHere: the same on the calling thread, which the harness
//   makes the receive thread of a Java session (attached for the session's
//   life) by calling them from a callback: CallbacksExecute for one message,
//   against the floor of an attached thread building the same one-parameter
//   response the same way and calling LCMPCallBack with it.
// - stampInstall / stampCount / stampLast: a C callback of the loaded
//   library that keeps the time of the last message of an opcode, the end of
//   a group read without a Java callback.
// - engineRead: the engine's part of the read, without Java: the request
//   value list of ten IDs, LCMPRead, both lists destroyed.
// - deviceReadC: the C round trip of a one-parameter read from a simulated
//   device, the floor of the same read through LCMP_Read_Wrapper.
// - countReadCalls: the JNI functions one LCMP_Read_Wrapper call makes, by
//   name, through a counting JNI function table installed with JVMTI.
//
// Timed loops run on the native side with a steady clock, so the figures
// hold the work and nothing of the Java loop around it.
#include <dlfcn.h>
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

JavaVM *gVm = nullptr;
jclass gResponseClass = nullptr;     // global references
jclass gParameterClass = nullptr;
jclass gReadParameterClass = nullptr;
jclass gArrayListClass = nullptr;
jmethodID gResponseConstructor = nullptr;
jmethodID gAddTlv = nullptr;
jmethodID gParameterConstructor = nullptr;
jmethodID gGetParameterId = nullptr;
jmethodID gListSize = nullptr;
jmethodID gListGet = nullptr;

constexpr const char *kHost = "BrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPCommManager";

// The ten (ID, value) pairs of a read confirmation: the ID, then two bytes.
struct Entry {
    uint8_t bytes[3];
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

jclass GlobalClass(JNIEnv *env, const char *name) {
    jclass local = env->FindClass(name);
    if (local == nullptr) return nullptr;
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

// One response of `count` parameters, or null with the exception pending.
jobject BuildResponse(JNIEnv *env, jbyteArray address, const Entry *entries, int count) {
    jobject response = env->NewObject(gResponseClass, gResponseConstructor, address);
    if (response == nullptr) return nullptr;
    for (int i = 0; i < count; ++i) {
        jbyteArray value = env->NewByteArray(2);
        if (value == nullptr) break;
        env->SetByteArrayRegion(value, 0, 2, reinterpret_cast<const jbyte *>(entries[i].bytes + 1));
        jobject parameter =
            env->NewObject(gParameterClass, gParameterConstructor, static_cast<jbyte>(entries[i].bytes[0]), value);
        env->DeleteLocalRef(value);
        if (parameter == nullptr) break;
        env->CallVoidMethod(response, gAddTlv, parameter);
        env->DeleteLocalRef(parameter);
        if (env->ExceptionCheck()) break;
    }
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(response);
        return nullptr;
    }
    return response;
}

using CallbacksExecuteFunction = void (*)(const uint8_t *, int32_t, const uint8_t *, uint16_t);

// A function of the liblcmp.so the JVM loaded, or null.
void *LoadedFunction(const char *name) {
    void *library = dlopen(LCMP_LIBRARY_SONAME, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    void *found = dlsym(library, name);
    dlclose(library);  // the JVM keeps it loaded
    return found;
}

// ---- JNI call counting ----
std::atomic<long> gCounts[12];
constexpr const char *kCountedNames[12] = {
    "CallIntMethod", "CallObjectMethod", "CallByteMethod", "CallVoidMethod", "IsInstanceOf", "NewObject",
    "NewByteArray", "SetByteArrayRegion", "DeleteLocalRef", "ExceptionCheck", "GetByteArrayElements + Release",
    "other (GetArrayLength, NewLocalRef, GetObjectClass, GetMethodID, ExceptionOccurred)"};
const JNINativeInterface_ *gOriginal = nullptr;

jint CountCallIntMethodV(JNIEnv *env, jobject o, jmethodID m, va_list a) {
    gCounts[0]++;
    return gOriginal->CallIntMethodV(env, o, m, a);
}
jobject CountCallObjectMethodV(JNIEnv *env, jobject o, jmethodID m, va_list a) {
    gCounts[1]++;
    return gOriginal->CallObjectMethodV(env, o, m, a);
}
jbyte CountCallByteMethodV(JNIEnv *env, jobject o, jmethodID m, va_list a) {
    gCounts[2]++;
    return gOriginal->CallByteMethodV(env, o, m, a);
}
void CountCallVoidMethodV(JNIEnv *env, jobject o, jmethodID m, va_list a) {
    gCounts[3]++;
    gOriginal->CallVoidMethodV(env, o, m, a);
}
jboolean CountIsInstanceOf(JNIEnv *env, jobject o, jclass c) {
    gCounts[4]++;
    return gOriginal->IsInstanceOf(env, o, c);
}
jobject CountNewObjectV(JNIEnv *env, jclass c, jmethodID m, va_list a) {
    gCounts[5]++;
    return gOriginal->NewObjectV(env, c, m, a);
}
jbyteArray CountNewByteArray(JNIEnv *env, jsize n) {
    gCounts[6]++;
    return gOriginal->NewByteArray(env, n);
}
void CountSetByteArrayRegion(JNIEnv *env, jbyteArray a, jsize s, jsize n, const jbyte *b) {
    gCounts[7]++;
    gOriginal->SetByteArrayRegion(env, a, s, n, b);
}
void CountDeleteLocalRef(JNIEnv *env, jobject o) {
    gCounts[8]++;
    gOriginal->DeleteLocalRef(env, o);
}
jboolean CountExceptionCheck(JNIEnv *env) {
    gCounts[9]++;
    return gOriginal->ExceptionCheck(env);
}
jbyte *CountGetByteArrayElements(JNIEnv *env, jbyteArray a, jboolean *c) {
    gCounts[10]++;
    return gOriginal->GetByteArrayElements(env, a, c);
}
void CountReleaseByteArrayElements(JNIEnv *env, jbyteArray a, jbyte *e, jint m) {
    gCounts[10]++;
    gOriginal->ReleaseByteArrayElements(env, a, e, m);
}
jsize CountGetArrayLength(JNIEnv *env, jarray a) {
    gCounts[11]++;
    return gOriginal->GetArrayLength(env, a);
}
jobject CountNewLocalRef(JNIEnv *env, jobject o) {
    gCounts[11]++;
    return gOriginal->NewLocalRef(env, o);
}
jclass CountGetObjectClass(JNIEnv *env, jobject o) {
    gCounts[11]++;
    return gOriginal->GetObjectClass(env, o);
}
jmethodID CountGetMethodID(JNIEnv *env, jclass c, const char *n, const char *s) {
    gCounts[11]++;
    return gOriginal->GetMethodID(env, c, n, s);
}
jthrowable CountExceptionOccurred(JNIEnv *env) {
    gCounts[11]++;
    return gOriginal->ExceptionOccurred(env);
}

}  // namespace

extern "C" {

// Caches the classes and members the floors use; 0, or -1 with the lookup's
// error pending.
JNIEXPORT jint JNICALL Java_lcmpbench_Floor_init(JNIEnv *env, jclass) {
    if (env->GetJavaVM(&gVm) != JNI_OK) return -1;
    const std::string host = kHost;
    gResponseClass = GlobalClass(env, (host + "$LCMPResponse").c_str());
    gParameterClass = GlobalClass(env, (host + "$HGF_PARAMETER_TLV").c_str());
    gReadParameterClass = GlobalClass(env, (host + "$HGF_READ_PARAMETER_TLV").c_str());
    gArrayListClass = GlobalClass(env, "java/util/ArrayList");
    if (!gResponseClass || !gParameterClass || !gReadParameterClass || !gArrayListClass) return -1;
    gResponseConstructor = env->GetMethodID(gResponseClass, "<init>", "([B)V");
    gAddTlv = env->GetMethodID(gResponseClass, "addHGF_TLV", ("(L" + host + "$HGF_TLV;)V").c_str());
    gParameterConstructor = env->GetMethodID(gParameterClass, "<init>", "(B[B)V");
    gGetParameterId = env->GetMethodID(gReadParameterClass, "getParameterID", "()B");
    gListSize = env->GetMethodID(gArrayListClass, "size", "()I");
    gListGet = env->GetMethodID(gArrayListClass, "get", "(I)Ljava/lang/Object;");
    return gResponseConstructor && gAddTlv && gParameterConstructor && gGetParameterId && gListSize && gListGet ? 0
                                                                                                            : -1;
}

// Builds the ten-parameter response `times` times; nanoseconds per response.
// The last one is handed back in last[0], for the harness to check.
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_buildResponse(JNIEnv *env, jclass, jbyteArray address, jint times,
                                                           jobjectArray last) {
    Entry entries[10];
    for (int i = 0; i < 10; ++i)
        entries[i] = {{static_cast<uint8_t>(i + 1), static_cast<uint8_t>(0xF0 + 2 * i),
                       static_cast<uint8_t>(0xF1 + 2 * i)}};
    jobject response = nullptr;
    const int64_t start = NowNs();
    for (jint n = 0; n < times; ++n) {
        if (response != nullptr) env->DeleteLocalRef(response);
        response = BuildResponse(env, address, entries, 10);
        if (response == nullptr) return -1;
    }
    const int64_t elapsed = NowNs() - start;
    env->SetObjectArrayElement(last, 0, response);
    env->DeleteLocalRef(response);
    return times > 0 ? elapsed / times : 0;
}

// Reads the request list of `HGF_READ_PARAMETER_TLV`s `times` times with the
// calls a read needs; nanoseconds per list. Returns -1 when an element is
// of another class; the IDs' sum goes to sum[0].
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_readRequest(JNIEnv *env, jclass, jobject list, jint times,
                                                         jintArray sum) {
    jint total = 0;
    const int64_t start = NowNs();
    for (jint n = 0; n < times; ++n) {
        const jint size = env->CallIntMethod(list, gListSize);
        if (env->ExceptionCheck()) return -1;
        for (jint i = 0; i < size; ++i) {
            jobject element = env->CallObjectMethod(list, gListGet, i);
            if (env->ExceptionCheck()) return -1;
            if (element == nullptr) continue;
            if (!env->IsInstanceOf(element, gReadParameterClass)) return -1;
            total += env->CallByteMethod(element, gGetParameterId);
            env->DeleteLocalRef(element);
            if (env->ExceptionCheck()) return -1;
        }
    }
    const int64_t elapsed = NowNs() - start;
    env->SetIntArrayRegion(sum, 0, 1, &total);
    return times > 0 ? elapsed / times : 0;
}

// On a fresh native thread, `times` cycles of attach, LCMPCallBack(response)
// on the callback object, detach; nanoseconds per cycle (-1 on failure).
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_attachCallDetach(JNIEnv *env, jclass, jobject callback,
                                                              jobject response, jint times) {
    jclass cls = env->GetObjectClass(callback);
    const jmethodID method =
        env->GetMethodID(cls, "LCMPCallBack", ("(L" + std::string(kHost) + "$LCMPResponse;)V").c_str());
    env->DeleteLocalRef(cls);
    if (method == nullptr) return -1;
    jobject target = env->NewGlobalRef(callback);
    jobject argument = env->NewGlobalRef(response);
    jlong result = -1;
    std::thread([&] {
        const int64_t start = NowNs();
        for (jint n = 0; n < times; ++n) {
            JNIEnv *threadEnv = nullptr;
            if (gVm->AttachCurrentThread(reinterpret_cast<void **>(&threadEnv), nullptr) != JNI_OK) return;
            threadEnv->CallVoidMethod(target, method, argument);
            if (threadEnv->ExceptionCheck()) threadEnv->ExceptionClear();
            gVm->DetachCurrentThread();
        }
        result = times > 0 ? (NowNs() - start) / times : 0;
    }).join();
    env->DeleteGlobalRef(target);
    env->DeleteGlobalRef(argument);
    return result;
}

// `times` calls of the loaded liblcmp.so's CallbacksExecute for one message,
// on a fresh native thread or on the calling one; nanoseconds per call, or
// -1 when the library is not loaded.
static jlong DeliverTimes(JNIEnv *env, jbyteArray source, jint opcode, jbyteArray payload, jint times, bool freshThread) {
    const auto execute = reinterpret_cast<CallbacksExecuteFunction>(LoadedFunction("CallbacksExecute"));
    if (execute == nullptr) return -1;
    uint8_t mac[6] = {};
    env->GetByteArrayRegion(source, 0, 6, reinterpret_cast<jbyte *>(mac));
    std::vector<uint8_t> message(static_cast<std::size_t>(env->GetArrayLength(payload)));
    env->GetByteArrayRegion(payload, 0, static_cast<jsize>(message.size()), reinterpret_cast<jbyte *>(message.data()));
    if (env->ExceptionCheck()) return -1;
    jlong result = -1;
    const auto run = [&] {
        const int64_t start = NowNs();
        for (jint n = 0; n < times; ++n)
            execute(mac, opcode, message.data(), static_cast<uint16_t>(message.size()));
        result = times > 0 ? (NowNs() - start) / times : 0;
    };
    if (freshThread) std::thread(run).join();
    else run();
    return result;
}

// On a fresh native thread (attached for each delivery by the library).
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_deliverThroughLibrary(JNIEnv *env, jclass, jbyteArray source,
                                                                   jint opcode, jbyteArray payload, jint times) {
    return DeliverTimes(env, source, opcode, payload, times, true);
}

// On the calling thread.
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_deliverHere(JNIEnv *env, jclass, jbyteArray source, jint opcode,
                                                         jbyteArray payload, jint times) {
    return DeliverTimes(env, source, opcode, payload, times, false);
}

// `times` times on the calling thread: the one-parameter response of a
// delivery (a new address array, the response, the parameter 5 = F0 F1)
// built with JNI calls, LCMPCallBack(response) on the callback, the local
// references deleted; nanoseconds per call, -1 on failure.
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_callHere(JNIEnv *env, jclass, jobject callback, jbyteArray source,
                                                      jint times) {
    jclass cls = env->GetObjectClass(callback);
    const jmethodID method =
        env->GetMethodID(cls, "LCMPCallBack", ("(L" + std::string(kHost) + "$LCMPResponse;)V").c_str());
    env->DeleteLocalRef(cls);
    if (method == nullptr) return -1;
    jbyte mac[6] = {};
    env->GetByteArrayRegion(source, 0, 6, mac);
    const Entry entry{{5, 0xF0, 0xF1}};
    const int64_t start = NowNs();
    for (jint n = 0; n < times; ++n) {
        jbyteArray address = env->NewByteArray(6);
        if (address == nullptr) return -1;
        env->SetByteArrayRegion(address, 0, 6, mac);
        jobject response = BuildResponse(env, address, &entry, 1);
        env->DeleteLocalRef(address);
        if (response == nullptr) return -1;
        env->CallVoidMethod(callback, method, response);
        env->DeleteLocalRef(response);
        if (env->ExceptionCheck()) return -1;
    }
    return times > 0 ? (NowNs() - start) / times : 0;
}

static std::atomic<long> gStampCount{0};
static std::atomic<int64_t> gStampLast{0};

static int StampCallback(const uint8_t *, const uint8_t *, int, void *) {
    gStampLast.store(NowNs());
    gStampCount.fetch_add(1);
    return 0;
}

// Installs, in the loaded library, a C callback for `opcode` that keeps the
// time of its last call (steady clock, as System.nanoTime); 0 when done.
JNIEXPORT jint JNICALL Java_lcmpbench_Floor_stampInstall(JNIEnv *, jclass, jint opcode) {
    using Create = void *(*)(void *, int32_t, uintptr_t, void *);
    using Install = void *(*)(int (*)(const uint8_t *, const uint8_t *, int, void *), int32_t, void *);
    const auto create = reinterpret_cast<Create>(LoadedFunction("CallbackDataCreate"));
    const auto install = reinterpret_cast<Install>(LoadedFunction("LCMPCallBackInstall"));
    if (create == nullptr || install == nullptr) return -1;
    void *data = create(nullptr, 0, 0, nullptr);
    return data != nullptr && install(StampCallback, opcode, data) != nullptr ? 0 : -1;
}

// Calls of the stamp callback so far, and the time of the last one.
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_stampCount(JNIEnv *, jclass) { return gStampCount.load(); }
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_stampLast(JNIEnv *, jclass) { return gStampLast.load(); }

// The engine's part of a ten-parameter read through the loaded liblcmp.so,
// `times` times; nanoseconds per read, or -1 on failure.
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_engineRead(JNIEnv *, jclass, jint times) {
    struct List;
    using Add = int32_t (*)(List **, const uint8_t *, int32_t, uint16_t, const uint8_t *);
    using Read = int32_t (*)(List *, int32_t, const uint8_t *, List **);
    using Destroy = int32_t (*)(List *);
    const auto add = reinterpret_cast<Add>(LoadedFunction("LCMPFullValueAdd"));
    const auto read = reinterpret_cast<Read>(LoadedFunction("LCMPRead"));
    const auto destroy = reinterpret_cast<Destroy>(LoadedFunction("LCMPValueListDestroy"));
    if (add == nullptr || read == nullptr || destroy == nullptr) return -1;
    const uint8_t device[6] = {0x00, 0x13, 0xA7, 0x01, 0x02, 0x03};
    const int64_t start = NowNs();
    for (jint n = 0; n < times; ++n) {
        List *request = nullptr;
        List *confirmation = nullptr;
        int32_t rc = 0;
        for (uint8_t id = 1; id <= 10 && rc == 0; ++id) rc = add(&request, nullptr, 2, 1, &id);
        if (rc == 0) rc = read(request, 0, device, &confirmation);
        destroy(request);
        destroy(confirmation);
        if (rc != 0) return -1;
    }
    return times > 0 ? (NowNs() - start) / times : 0;
}

// The C host's round trip of a one-parameter read (parameter 1) from the
// device `address` through the loaded liblcmp.so, in device mode with its
// session open: `times` reads on the calling thread; nanoseconds per read,
// or the first failing read's code (negative).
JNIEXPORT jlong JNICALL Java_lcmpbench_Floor_deviceReadC(JNIEnv *env, jclass, jbyteArray address, jint times) {
    struct List;
    using Add = int32_t (*)(List **, const uint8_t *, int32_t, uint16_t, const uint8_t *);
    using Read = int32_t (*)(List *, int32_t, const uint8_t *, List **);
    using Destroy = int32_t (*)(List *);
    const auto add = reinterpret_cast<Add>(LoadedFunction("LCMPFullValueAdd"));
    const auto read = reinterpret_cast<Read>(LoadedFunction("LCMPRead"));
    const auto destroy = reinterpret_cast<Destroy>(LoadedFunction("LCMPValueListDestroy"));
    if (add == nullptr || read == nullptr || destroy == nullptr) return -1;
    uint8_t device[6] = {};
    env->GetByteArrayRegion(address, 0, 6, reinterpret_cast<jbyte *>(device));
    if (env->ExceptionCheck()) return -1;
    const int64_t start = NowNs();
    for (jint n = 0; n < times; ++n) {
        List *request = nullptr;
        List *confirmation = nullptr;
        const uint8_t id = 1;
        int32_t rc = add(&request, nullptr, 2, 1, &id);
        if (rc == 0) rc = read(request, 0, device, &confirmation);
        destroy(request);
        destroy(confirmation);
        if (rc != 0) return rc;
    }
    return times > 0 ? (NowNs() - start) / times : 0;
}

// Runs `read` (a Runnable that makes one LCMP_Read_Wrapper call) with every
// JNI function the wrappers use counted, and returns "NAME COUNT" lines, or
// null when JVMTI cannot swap the function table.
JNIEXPORT jstring JNICALL Java_lcmpbench_Floor_countReadCalls(JNIEnv *env, jclass, jobject read) {
    jvmtiEnv *jvmti = nullptr;
    if (gVm->GetEnv(reinterpret_cast<void **>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK) return nullptr;
    jniNativeInterface *original = nullptr;
    if (jvmti->GetJNIFunctionTable(&original) != JVMTI_ERROR_NONE) return nullptr;
    jclass runnable = env->FindClass("java/lang/Runnable");
    const jmethodID run = runnable ? env->GetMethodID(runnable, "run", "()V") : nullptr;
    if (run == nullptr) return nullptr;
    env->DeleteLocalRef(runnable);

    jniNativeInterface counting = *original;
    gOriginal = original;
    counting.CallIntMethodV = CountCallIntMethodV;
    counting.CallObjectMethodV = CountCallObjectMethodV;
    counting.CallByteMethodV = CountCallByteMethodV;
    counting.CallVoidMethodV = CountCallVoidMethodV;
    counting.IsInstanceOf = CountIsInstanceOf;
    counting.NewObjectV = CountNewObjectV;
    counting.NewByteArray = CountNewByteArray;
    counting.SetByteArrayRegion = CountSetByteArrayRegion;
    counting.DeleteLocalRef = CountDeleteLocalRef;
    counting.ExceptionCheck = CountExceptionCheck;
    counting.GetByteArrayElements = CountGetByteArrayElements;
    counting.ReleaseByteArrayElements = CountReleaseByteArrayElements;
    counting.GetArrayLength = CountGetArrayLength;
    counting.NewLocalRef = CountNewLocalRef;
    counting.GetObjectClass = CountGetObjectClass;
    counting.GetMethodID = CountGetMethodID;
    counting.ExceptionOccurred = CountExceptionOccurred;
    // The Runnable is called before the swap, so that this call of ours is
    // not counted; only what the wrapper does inside run() is.
    for (auto &c : gCounts) c = 0;
    const bool swapped = jvmti->SetJNIFunctionTable(&counting) == JVMTI_ERROR_NONE;
    if (swapped) {
        // The table is swapped for every thread: this call is made through
        // it too, and counted as one CallVoidMethod, taken off below.
        env->CallVoidMethod(read, run);
        jvmti->SetJNIFunctionTable(original);
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(original));
    if (!swapped || env->ExceptionCheck()) return nullptr;
    gCounts[3]--;
    std::string text;
    long total = 0;
    for (int i = 0; i < 12; ++i) {
        text += std::string(kCountedNames[i]) + " " + std::to_string(gCounts[i].load()) + "\n";
        total += gCounts[i].load();
    }
    text += "total " + std::to_string(total) + "\n";
    return env->NewStringUTF(text.c_str());
}

}  // extern "C"
