// The binding cache and the native methods that do not need it: initIDs,
// which fills it, and the two version methods.
//
// The native methods are declared static in the reference host; the class or
// object argument JNI passes is never used, so a host that declares them as
// instance methods binds to the same functions.
#include <cstdio>
#include <iterator>

#include "bridge.h"

const char wraperDriverversion[5] = "1.0a";

jclass newExcLCMPclass = nullptr;
jclass LCMPTimeOutExceptionclass = nullptr;
jclass LCMPCallBackNotInstalledclass = nullptr;
jclass cls_LCMPCommManager = nullptr;
jmethodID LCMP_RegisterCallBack_java_methodID = nullptr;
jmethodID LCMP_UnRegisterCallBack_java_methodID = nullptr;
jclass cls_LCMPResponse = nullptr;
jmethodID constructor_LCMPResponse = nullptr;
jmethodID addHGF_TLV_methodID = nullptr;
jmethodID setErrorCode_methodID = nullptr;
jclass cls_HGF_TLV_Type = nullptr;
jfieldID fid_HGF_PARAMETER = nullptr;
jobject HGF_PARAMETER_enumObj = nullptr;
jfieldID fid_HGF_WRITE_PARAMETER_CONFIRM = nullptr;
jobject HGF_WRITE_PARAMETER_enumObj = nullptr;
jfieldID fid_HGF_CONTROL_CONFIRM = nullptr;
jobject HGF_CONTROL_CONFIRM_enumObj = nullptr;
jfieldID fid_HGF_NOTIFY_CONFIRM = nullptr;
jobject HGF_NOTIFY_CONFIRM_enumObj = nullptr;
jclass cls_LCMP_OPCODE_Type = nullptr;
jfieldID fid_LCMP_READ_REQ_OPCODE = nullptr;
jobject LCMP_READ_REQ_OPCODE_enumObj = nullptr;
jfieldID fid_LCMP_WRITE_REQ_OPCODE = nullptr;
jobject LCMP_WRITE_REQ_OPCODE_enumObj = nullptr;
jfieldID fid_LCMP_WRITE_CNF_OPCODE = nullptr;
jobject LCMP_WRITE_CNF_OPCODE_enumObj = nullptr;
jfieldID fid_LCMP_READ_CNF_OPCODE = nullptr;
jobject LCMP_READ_CNF_OPCODE_enumObj = nullptr;
jfieldID fid_LCMP_NOTIFICATION_RSP_OPCODE = nullptr;
jobject LCMP_NOTIFICATION_RSP_OPCODE_enumObj = nullptr;
jclass cls_HGF_READ_PARAM_TLV = nullptr;
jmethodID constructor_HGF_READ_PARAM_TLV = nullptr;
jmethodID methodID_HGF_READ_PARAM_TLV_getParameterId = nullptr;
jclass cls_HGF_PARAMETER_TLV = nullptr;
jmethodID constructor_HGF_PARAMETER_TLV = nullptr;
jmethodID getParameterType_methodID = nullptr;
jmethodID getParameterValue_methodID = nullptr;
jclass cls_HGF_CONFIRM = nullptr;
jmethodID constructor_HGF_CONFIRM = nullptr;
jmethodID addParameter_methodID = nullptr;
jclass cls_HGF_NOTIFY = nullptr;
jmethodID constructor_HGF_NOTIFY_TLV = nullptr;
jmethodID getNotifyType_methodID = nullptr;
jmethodID getNotifyValue_methodID = nullptr;
jclass cls_ArrayList = nullptr;
jmethodID get_arrayList_methodID = nullptr;
jmethodID size_arrayList_methodID = nullptr;
JavaVM *jvm = nullptr;

namespace {

using lcmp::bridge::ScopedLocalRef;

#define LCMP_PACKAGE "BrundixGhn/NetWork/DeviceCommunication/LCMP/"
#define LCMP_NESTED LCMP_PACKAGE "LCMPCommManager$"

enum class Kind {
    Class,         // FindClass; the class the following rows look into
    Method,        // GetMethodID on that class
    StaticMethod,  // GetStaticMethodID on that class
    Constant,      // GetStaticFieldID and GetStaticObjectField on that class
};

// One lookup of initIDs. Exactly one of the targets fits the kind; a
// constant fills both `field` and `object`.
struct Lookup {
    Kind kind;
    const char *name;
    const char *descriptor;  // methods and constants
    const char *message;     // printed when the lookup fails
    jclass *cls = nullptr;
    jmethodID *method = nullptr;
    jfieldID *field = nullptr;
    jobject *object = nullptr;
    const char *nullMessage = nullptr;  // a constant whose field holds null
};

constexpr const char *kTlvType = "L" LCMP_NESTED "HGF_TLV_Type;";
constexpr const char *kOpcodeType = "L" LCMP_NESTED "LCMP_OPCODE_Type;";

constexpr Lookup ClassRow(const char *name, jclass *target, const char *message) {
    return {Kind::Class, name, nullptr, message, target};
}
constexpr Lookup MethodRow(const char *name, const char *descriptor, jmethodID *target, const char *message) {
    return {Kind::Method, name, descriptor, message, nullptr, target};
}
constexpr Lookup StaticMethodRow(const char *name, const char *descriptor, jmethodID *target, const char *message) {
    return {Kind::StaticMethod, name, descriptor, message, nullptr, target};
}
constexpr Lookup ConstantRow(const char *name, const char *descriptor, jfieldID *field, const char *message,
                             jobject *object, const char *nullMessage) {
    return {Kind::Constant, name, descriptor, message, nullptr, nullptr, field, object, nullMessage};
}

// Every class, method and enum constant the bridge uses, in lookup order.
constexpr Lookup kLookups[] = {
    ClassRow(LCMP_NESTED "LCMPException", &newExcLCMPclass, "In C. newExcLCMPclass class ID NOT FOUND!"),
    ClassRow(LCMP_NESTED "LCMPTimeOutException", &LCMPTimeOutExceptionclass,
             "In C. LCMPTimeOutExceptionclass class ID NOT FOUND!"),
    ClassRow(LCMP_NESTED "LCMPCallBackNotInstalled", &LCMPCallBackNotInstalledclass,
             "In C. LCMPCallBackNotInstalledclass class ID NOT FOUND!"),
    ClassRow(LCMP_PACKAGE "LCMPCommManager", &cls_LCMPCommManager, "In C. cls_LCMPCommManager ID NOT FOUND!"),
    StaticMethodRow("LCMP_RegisterCallBack", "(L" LCMP_PACKAGE "LCMPAbstractCallBack;)Z",
                    &LCMP_RegisterCallBack_java_methodID,
                    "In C. LCMP_RegisterCallBack_java_methodID method ID NOT FOUND!"),
    StaticMethodRow("LCMP_UnRegisterCallBack", "(L" LCMP_PACKAGE "LCMPAbstractCallBack;)Z",
                    &LCMP_UnRegisterCallBack_java_methodID,
                    "In C. LCMP_UnRegisterCallBack_java_methodID method ID NOT FOUND!"),
    ClassRow(LCMP_NESTED "LCMPResponse", &cls_LCMPResponse, "In C. cls_LCMPResponse class ID NOT FOUND!"),
    MethodRow("<init>", "([B)V", &constructor_LCMPResponse, "In C. LCMPResponse constructor ID NOT FOUND!"),
    MethodRow("addHGF_TLV", "(L" LCMP_NESTED "HGF_TLV;)V", &addHGF_TLV_methodID,
              "In C. LCMPResponse addHGF_TLV methodID NOT FOUND!"),
    MethodRow("setErrorCode", "(L" LCMP_NESTED "HGF_ERRORCODE_Type;)V", &setErrorCode_methodID,
              "In C. LCMPResponse setErrorCode method ID NOT FOUND!"),
    ClassRow(LCMP_NESTED "HGF_TLV_Type", &cls_HGF_TLV_Type, "In C. cls_HGF_TLV_Type class ID NOT FOUND!"),
    ConstantRow("HGF_PARAMETER", kTlvType, &fid_HGF_PARAMETER, "In C. fid_HGF_PARAMETER field ID NOT FOUND!",
                &HGF_PARAMETER_enumObj, "In C. HGF_PARAMETER_enumObj NOT FOUND!"),
    ConstantRow("HGF_WRITE_PARAMETER_CONFIRM", kTlvType, &fid_HGF_WRITE_PARAMETER_CONFIRM,
                "In C. fid_HGF_WRITE_PARAMETER_CONFIRM field ID NOT FOUND!", &HGF_WRITE_PARAMETER_enumObj,
                "In C. HGF_WRITE_PARAMETER_enumObj NOT FOUND!"),
    ConstantRow("HGF_CONTROL_CONFIRM", kTlvType, &fid_HGF_CONTROL_CONFIRM,
                "In C. fid_HGF_CONTROL_CONFIRM field ID NOT FOUND!", &HGF_CONTROL_CONFIRM_enumObj,
                "In C. HGF_CONTROL_CONFIRM_enumObj NOT FOUND!"),
    ConstantRow("HGF_NOTIFY_CONFIRM", kTlvType, &fid_HGF_NOTIFY_CONFIRM,
                "In C. fid_HGF_NOTIFY_CONFIRM field ID NOT FOUND!", &HGF_NOTIFY_CONFIRM_enumObj,
                "In C. HGF_NOTIFY_CONFIRM_enumObj NOT FOUND!"),
    ClassRow(LCMP_NESTED "LCMP_OPCODE_Type", &cls_LCMP_OPCODE_Type, "In C. cls_LCMP_OPCODE_Type class ID NOT FOUND!"),
    ConstantRow("LCMP_READ_REQ", kOpcodeType, &fid_LCMP_READ_REQ_OPCODE,
                "In C. fid_LCMP_READ_REQ_OPCODE field ID NOT FOUND!", &LCMP_READ_REQ_OPCODE_enumObj,
                "In C. LCMP_READ_REQ_OPCODE_enumObj NOT FOUND!"),
    ConstantRow("LCMP_WRITE_REQ", kOpcodeType, &fid_LCMP_WRITE_REQ_OPCODE,
                "In C. fid_LCMP_WRITE_REQ_OPCODE field ID NOT FOUND!", &LCMP_WRITE_REQ_OPCODE_enumObj,
                "In C. LCMP_WRITE_REQ_OPCODE_enumObj NOT FOUND!"),
    ConstantRow("LCMP_WRITE_CNF", kOpcodeType, &fid_LCMP_WRITE_CNF_OPCODE,
                "In C. fid_LCMP_WRITE_CNF_OPCODE field ID NOT FOUND!", &LCMP_WRITE_CNF_OPCODE_enumObj,
                "In C. LCMP_WRITE_CNF_OPCODE_enumObj NOT FOUND!"),
    ConstantRow("LCMP_READ_CNF", kOpcodeType, &fid_LCMP_READ_CNF_OPCODE,
                "In C. fid_LCMP_READ_CNF_OPCODE field ID NOT FOUND!", &LCMP_READ_CNF_OPCODE_enumObj,
                "In C. LCMP_READ_CNF_OPCODE_enumObj NOT FOUND!"),
    ConstantRow("LCMP_NOTIFY_RSP", kOpcodeType, &fid_LCMP_NOTIFICATION_RSP_OPCODE,
                "In C. fid_LCMP_NOTIFICATION_RSP_OPCODE field ID NOT FOUND!", &LCMP_NOTIFICATION_RSP_OPCODE_enumObj,
                "In C. LCMP_NOTIFICATION_RSP_OPCODE_enumObj NOT FOUND!"),
    ClassRow(LCMP_NESTED "HGF_READ_PARAMETER_TLV", &cls_HGF_READ_PARAM_TLV, "In C. cls_HGF_TLV ID NOT FOUND!"),
    MethodRow("<init>", "(B)V", &constructor_HGF_READ_PARAM_TLV,
              "In C. constructor_HGF_READ_PARAM_TLV constructor ID NOT FOUND!"),
    MethodRow("getParameterID", "()B", &methodID_HGF_READ_PARAM_TLV_getParameterId,
              "In C. methodID_HGF_READ_PARAM_TLV_getParameterId constructor ID NOT FOUND!"),
    ClassRow(LCMP_NESTED "HGF_PARAMETER_TLV", &cls_HGF_PARAMETER_TLV, "In C. cls_HGF_PARAMETER_TLV ID NOT FOUND!"),
    MethodRow("<init>", "(B[B)V", &constructor_HGF_PARAMETER_TLV,
              "In C. constructor_HGF_PARAMETER_TLV constructor ID NOT FOUND!"),
    MethodRow("getParamterType", "()B", &getParameterType_methodID,
              "In C. HGF_PARAMETER_TLV getParameterType_methodID  NOT FOUND!"),
    MethodRow("getParameterValue", "()[B", &getParameterValue_methodID,
              "In C. HGF_PARAMETER_TLV getParameterValue_methodID  NOT FOUND!"),
    ClassRow(LCMP_NESTED "HGF_CONFIRM", &cls_HGF_CONFIRM, "In C. cls_HGF_CONFIRM class ID  NOT FOUND!"),
    MethodRow("<init>", "(L" LCMP_NESTED "HGF_TLV_Type;)V", &constructor_HGF_CONFIRM,
              "In C. constructor_HGF_CONFIRM method ID  NOT FOUND!"),
    MethodRow("addParameter", "([B)V", &addParameter_methodID, "In C. addParameter_methodID method ID  NOT FOUND!"),
    ClassRow(LCMP_NESTED "HGF_NOTIFY_TLV", &cls_HGF_NOTIFY, "In C. cls_HGF_NOTIFY class ID  NOT FOUND!"),
    MethodRow("<init>", "(B[B)V", &constructor_HGF_NOTIFY_TLV,
              "In C. constructor_HGF_NOTIFY_TLV method ID  NOT FOUND!"),
    MethodRow("getNotifyType", "()B", &getNotifyType_methodID,
              "In C. HGF_NOTIFY_TLV getNotifyType_methodID  NOT FOUND!"),
    MethodRow("getNotifyValue", "()[B", &getNotifyValue_methodID,
              "In C. HGF_NOTIFY_TLV getNotifyValue_methodID  NOT FOUND!"),
    ClassRow("java/util/ArrayList", &cls_ArrayList, "In C. cls_ArrayList ID NOT FOUND!"),
    MethodRow("get", "(I)Ljava/lang/Object;", &get_arrayList_methodID, "In C. get_arrayList_methodID ID NOT FOUND!"),
    MethodRow("size", "()I", &size_arrayList_methodID, "In C. size_arrayList_methodID ID NOT FOUND!"),
};
static_assert(std::size(kLookups) == 38);

void PrintLine(const char *text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    // Keep the order of these lines with what Java writes to the same stream.
    std::fflush(stdout);
}

// A weak global reference for a local one, which is deleted; null for null.
jobject WeakFromLocal(JNIEnv *env, jobject local) {
    const ScopedLocalRef<> ref(env, local);
    return ref ? env->NewWeakGlobalRef(ref.get()) : nullptr;
}

// Performs one lookup on `cls`, the class of the latest class row. Returns
// null on success, else the message to print. A Java error raised by the
// failing JNI call stays pending.
const char *Resolve(JNIEnv *env, const Lookup &row, jclass cls) {
    switch (row.kind) {
        case Kind::Class:
            *row.cls = static_cast<jclass>(WeakFromLocal(env, env->FindClass(row.name)));
            return *row.cls != nullptr ? nullptr : row.message;
        case Kind::Method:
            *row.method = env->GetMethodID(cls, row.name, row.descriptor);
            return *row.method != nullptr ? nullptr : row.message;
        case Kind::StaticMethod:
            *row.method = env->GetStaticMethodID(cls, row.name, row.descriptor);
            return *row.method != nullptr ? nullptr : row.message;
        case Kind::Constant:
            *row.field = env->GetStaticFieldID(cls, row.name, row.descriptor);
            if (*row.field == nullptr) return row.message;
            *row.object = WeakFromLocal(env, env->GetStaticObjectField(cls, *row.field));
            return *row.object != nullptr ? nullptr : row.nullMessage;
    }
    return row.message;
}

}  // namespace

// A second call repeats every lookup and overwrites the globals; the weak
// references of the first call are left alone, as another thread may still
// hold one it read.
extern "C" JNIEXPORT jint JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_initIDs(JNIEnv *env,
                                                                                                         jclass) {
    jclass current = nullptr;
    for (const Lookup &row : kLookups) {
        if (const char *failure = Resolve(env, row, current)) {
            PrintLine(failure);
            return -1;
        }
        if (row.kind == Kind::Class) current = *row.cls;
    }
    const jint status = env->GetJavaVM(&jvm);
    if (status != 0) {
        PrintLine("[C: initIDs]. Unable to get jvm instance!");
        return status;
    }
    PrintLine("[C: initIDs]. jvm CREATED OK!");
    return 0;
}

extern "C" JNIEXPORT jstring JNICALL
Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_getVersion_1LCMP_1Driver_1API_1Wrapper(JNIEnv *env,
                                                                                                         jclass) {
    return env->NewStringUTF(wraperDriverversion);
}

extern "C" JNIEXPORT jstring JNICALL
Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_getVersion_1LCMP_1Driver_1Java_1Wrapper(JNIEnv *env,
                                                                                                          jclass) {
    return env->NewStringUTF(wraperDriverversion);
}
