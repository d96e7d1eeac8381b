// LCMP_Read_Wrapper, LCMP_Write_Wrapper and LCMP_Control_Wrapper: a Java
// list of parameter objects becomes a request value list, the engine
// produces the confirmation, and the confirmation becomes an LCMPResponse.
// Both value lists are owned by holders, so every path destroys them.
#include <cstdio>
#include <cstring>
#include <string>

#include "bridge.h"
#include "callback_data.h"
#include "registry.h"
#include "transaction.h"
#include "wrappers.h"

namespace {

using lcmp::ValueListHolder;
using lcmp::bridge::kLCMPCallBackSignature;
using lcmp::bridge::ScopedLocalRef;

enum class Kind { Read, Write, Control };

struct WrapperTexts {
    const char *buildFailure;
    const char *operationFailure;
    const char *noList;
    const char *emptyList;
    const char *nullList;
    const char *badAddress;
    const char *badElement;
    const char *nullValue;
    const char *longValue;
};

constexpr WrapperTexts kRead = {
    "Error passing TLVs to LCMPRead low level driver.", "Error on LCMPRead. ",
    "Error on LCMPRead (No TLVs received).", "Error on LCMPRead (0 TLVs received).",
    "Error on LCMPRead: the list of HGF_READ_PARAMETER_TLVs is null.",
    "Error on LCMPRead: the device address must be an array of 6 bytes.",
    "Error on LCMPRead: a list element is not an HGF_READ_PARAMETER_TLV.", nullptr, nullptr};
constexpr WrapperTexts kWrite = {
    "Error on generating TLVs to be sent via LCMPWrite.", "Error on LCMPWrite.",
    "Error on LCMPWrite (No TLVs received).", "Error on LCMPWrite (0 TLVs received).",
    "Error on LCMPWrite: the list of HGF_PARAMETER_TLVs is null.",
    "Error on LCMPWrite: the device address must be an array of 6 bytes.",
    "Error on LCMPWrite: a list element is not an HGF_PARAMETER_TLV.",
    "Error on LCMPWrite: getParameterValue() returned null.",
    "Error on LCMPWrite: getParameterValue() returned more than 65534 bytes."};
constexpr WrapperTexts kControl = {
    "Error generating TLVs (LCMP_CONTROL_PARAMETER) to be sent via LCMPControl request.", "Error on LCMPControl.",
    "Error on LCMPControl (No TLVs received).", "Error on LCMPControl (0 TLVs received).",
    "Error on LCMPControl: the list of HGF_PARAMETER_TLVs is null.",
    "Error on LCMPControl: the device address must be an array of 6 bytes.",
    "Error on LCMPControl: a list element is not an HGF_PARAMETER_TLV.",
    "Error on LCMPControl: getParameterValue() returned null.",
    "Error on LCMPControl: getParameterValue() returned more than 65534 bytes."};

// A new Java byte array holding `bytes`; null with an exception pending on failure.
jbyteArray NewBytes(JNIEnv *env, const uint8_t *bytes, jsize length) {
    jbyteArray array = env->NewByteArray(length);
    if (array != nullptr && length > 0)
        env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte *>(bytes));
    return array;
}

// The request list from the Java list. False when an exception
// is pending (raised here or by a Java getter).
bool BuildRequest(JNIEnv *env, jobject list, Kind kind, const WrapperTexts &texts, ValueListHolder &request) {
    const lcmp::bridge::IdValueClass parameter{cls_HGF_PARAMETER_TLV, getParameterType_methodID,
                                               getParameterValue_methodID, texts.badElement, texts.nullValue,
                                               texts.longValue};
    const int32_t type = kind == Kind::Write ? LCMP_RECORD_PARAMETER : LCMP_RECORD_CONTROL_PARAMETER;
    return lcmp::bridge::BuildEntries(env, list, texts.buildFailure, [&](jobject element) -> std::optional<int32_t> {
        if (element == nullptr) {
            if (kind != Kind::Write) return LCMP_OK;  // skipped
            throwLCMPException(lcmp::bridge::kBridgeError,
                               "Error on LCMPWrite: Unable to recovered a HGF_PARAMETER_TLVs instance sent.",
                               newExcLCMPclass);
            return std::nullopt;
        }
        if (kind != Kind::Read) return lcmp::bridge::AppendIdAndValue(env, element, parameter, type, request.location());
        if (!env->IsInstanceOf(element, cls_HGF_READ_PARAM_TLV)) {
            throwLCMPException(LCMP_ERROR_BAD_ARGS, texts.badElement, newExcLCMPclass);
            return std::nullopt;
        }
        const jbyte id = env->CallByteMethod(element, methodID_HGF_READ_PARAM_TLV_getParameterId);
        if (env->ExceptionCheck()) return std::nullopt;
        const auto byte = static_cast<uint8_t>(id);
        return LCMPFullValueAdd(request.location(), nullptr, LCMP_RECORD_READ_PARAMETER, 1, &byte);
    });
}

// The message of a device that never answered: the operation, who was asked
// and how long, e.g. "Error on LCMPRead: no answer from 02:00:00:00:01:01
// (3 attempts of 500 ms)."
std::string DeviceTimeoutText(JNIEnv *env, Kind kind, jbyte destinationKind, jbyteArray address,
                              const lcmp::RequestSettings &settings) {
    std::string text = kind == Kind::Read ? "Error on LCMPRead: " : kind == Kind::Write ? "Error on LCMPWrite: "
                                                                                         : "Error on LCMPControl: ";
    if (destinationKind == 0) {
        jbyte mac[6] = {};
        env->GetByteArrayRegion(address, 0, 6, mac);
        char printed[18];
        std::snprintf(printed, sizeof printed, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0] & 0xFF, mac[1] & 0xFF,
                      mac[2] & 0xFF, mac[3] & 0xFF, mac[4] & 0xFF, mac[5] & 0xFF);
        text += std::string("no answer from ") + printed;
    } else {
        text += destinationKind == 1 ? "no device answered the multicast request" : "no device answered the broadcast";
    }
    text += " (" + std::to_string(settings.attempts) + (settings.attempts == 1 ? " attempt" : " attempts") + " of " +
            std::to_string(settings.timeoutMs) + " ms).";
    return text;
}

// Device mode's refusals and bounds, e.g. "Error on LCMPRead: a device-mode
// request cannot be made from a callback ...".
std::string DeviceFailureText(Kind kind, const char *what) {
    return std::string(kind == Kind::Read ? "Error on LCMPRead: " : kind == Kind::Write ? "Error on LCMPWrite: "
                                                                                          : "Error on LCMPControl: ") +
           what;
}
constexpr const char *kOnReceiveThread =
    "a device-mode request cannot be made from a callback: the receive thread that runs the callbacks must "
    "deliver its answer. Hand the request to another thread.";
constexpr const char *kIncomplete =
    "the answers passed what one request collects (65535 TLVs or 16 MiB of values): the result is incomplete. "
    "Ask fewer devices or parameters at a time.";

struct CallbackWalk {
    JNIEnv *env;
    jobject response;
    int32_t filterType;
    int32_t skippedOpcode;  // -1: none
};

// After a successful read or write: hands the response to each registered
// Java callback of the wrapper's record type, on this thread. A callback that throws ends the
// walk; its exception reaches the wrapper's caller. In device mode the
// receive thread has already delivered the device's answer to the callbacks
// of the confirmation's opcode, so those are skipped: each callback sees
// each answer once.
void CallJavaCallback(CallbackData *data, int32_t opcode, void *context) {
    auto &walk = *static_cast<CallbackWalk *>(context);
    JNIEnv *env = walk.env;
    if (!lcmp::bridge::IsJavaCallback(data) || data->filterType != walk.filterType || opcode == walk.skippedOpcode ||
        env->ExceptionCheck())
        return;
    const ScopedLocalRef<> target(env, env->NewLocalRef(reinterpret_cast<jweak>(data->owner)));
    if (!target) return;  // the object is gone
    const ScopedLocalRef<jclass> cls(env, env->GetObjectClass(target.get()));
    const jmethodID method = env->GetMethodID(cls.get(), "LCMPCallBack", kLCMPCallBackSignature);
    if (method == nullptr) {
        env->ExceptionClear();  // an object without LCMPCallBack is skipped
        return;
    }
    env->CallVoidMethod(target.get(), method, walk.response);
    (void)env->ExceptionCheck();  // a thrown exception stays pending and ends the walk
}

jobject Request(JNIEnv *env, Kind kind, jbyte destinationKind, jobject list, jbyteArray address) {
    const WrapperTexts &texts = kind == Kind::Read ? kRead : kind == Kind::Write ? kWrite : kControl;
    if (list == nullptr) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, texts.nullList, newExcLCMPclass);
        return nullptr;
    }
    if (address == nullptr || env->GetArrayLength(address) < 6) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, texts.badAddress, newExcLCMPclass);
        return nullptr;
    }
    ValueListHolder request, confirmation;
    if (!BuildRequest(env, list, kind, texts, request)) return nullptr;

    // Read before the request, which decides by the same mode.
    const lcmp::RequestSettings settings = lcmp::RequestModeGet();
    const bool device = settings.mode == LCMP_REQUESTS_DEVICE;
    if (device && lcmp::OnReceiveThread()) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, DeviceFailureText(kind, kOnReceiveThread).c_str(), newExcLCMPclass);
        return nullptr;
    }
    int32_t rc;
    {
        const lcmp::bridge::ByteArrayElements mac(env, address);
        if (mac.data() == nullptr) {
            rc = LCMP_ERROR_MALLOC;
        } else {
            auto *operation = kind == Kind::Read ? LCMPRead : kind == Kind::Write ? LCMPWrite : LCMPControl;
            rc = operation(request.get(), destinationKind, mac.data(), confirmation.location());
        }
    }
    if (rc == LCMP_ERROR_TIMEOUT && device) {
        const std::string text = DeviceTimeoutText(env, kind, destinationKind, address, settings);
        throwLCMPException(rc, text.c_str(), LCMPTimeOutExceptionclass);
        return nullptr;
    }
    if (rc == LCMP_ERROR_ADDITIONAL_RESULT && device) {
        throwLCMPException(rc, DeviceFailureText(kind, kIncomplete).c_str(), newExcLCMPclass);
        return nullptr;
    }
    if (rc != LCMP_OK) {
        throwLCMPException(rc, texts.operationFailure, newExcLCMPclass);
        return nullptr;
    }
    if (confirmation.get() == nullptr) {
        throwLCMPException(LCMP_ERROR_TIMEOUT, texts.noList, LCMPTimeOutExceptionclass);
        return nullptr;
    }
    if (confirmation.get()->count == 0) {
        throwLCMPException(LCMP_ERROR_TIMEOUT, texts.emptyList, LCMPTimeOutExceptionclass);
        return nullptr;
    }
    ScopedLocalRef<> response(env, conformLCMPResponse(env, confirmation.get(), address));
    if (!response) return nullptr;
    if (kind != Kind::Control) {
        CallbackWalk walk{env, response.get(), kind == Kind::Read ? LCMP_RECORD_PARAMETER : LCMP_RECORD_WRITE_CONFIRM,
                          !device ? -1 : kind == Kind::Read ? LCMP_READ_CNF : LCMP_WRITE_CNF};
        lcmp::VisitEntries(CallJavaCallback, &walk);
    }
    return response.release();
}

}  // namespace

std::optional<int32_t> lcmp::bridge::AppendIdAndValue(JNIEnv *env, jobject element, const IdValueClass &shape,
                                                      int32_t type, LCMPValueList **location) {
    if (!env->IsInstanceOf(element, shape.cls)) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, shape.badElement, newExcLCMPclass);
        return std::nullopt;
    }
    const jbyte id = env->CallByteMethod(element, shape.id);
    if (env->ExceptionCheck()) return std::nullopt;
    const ScopedLocalRef<jbyteArray> value(env, static_cast<jbyteArray>(env->CallObjectMethod(element, shape.value)));
    if (env->ExceptionCheck()) return std::nullopt;
    if (!value) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, shape.nullValue, newExcLCMPclass);
        return std::nullopt;
    }
    // Lengths are 16-bit counts: a longer value, cut to 16 bits, would lose
    // its bytes and misdescribe the entry.
    const jsize length = env->GetArrayLength(value.get());
    if (length > kMaxValue) {
        throwLCMPException(LCMP_ERROR_BAD_ARGS, shape.longValue, newExcLCMPclass);
        return std::nullopt;
    }
    lcmp::Buffer entry = lcmp::AllocateBuffer(static_cast<std::size_t>(length) + 1);
    if (!entry) return LCMP_ERROR_MALLOC;
    entry[0] = static_cast<uint8_t>(id);
    env->GetByteArrayRegion(value.get(), 0, length, reinterpret_cast<jbyte *>(entry.get() + 1));
    return LCMPFullValueAdd(location, nullptr, type, static_cast<uint16_t>(length + 1), entry.get());
}

jobject conformLCMPResponse(JNIEnv *env, const LCMPValueList *list, jbyteArray address) {
    ScopedLocalRef<> response(env, env->NewObject(cls_LCMPResponse, constructor_LCMPResponse, address));
    if (!response) return nullptr;
    ScopedLocalRef<> confirm(env, nullptr);
    for (const LCMPValue *v = list != nullptr ? list->first : nullptr; v != nullptr; v = v->next) {
        if (v->length == 0) continue;  // nothing to convert: no parameter ID
        const jsize rest = static_cast<jsize>(v->length) - 1;
        if (v->type == LCMP_RECORD_PARAMETER) {
            const ScopedLocalRef<jbyteArray> value(env, NewBytes(env, v->value + 1, rest));
            if (!value) return nullptr;
            const ScopedLocalRef<> parameter(env, env->NewObject(cls_HGF_PARAMETER_TLV, constructor_HGF_PARAMETER_TLV,
                                                                 static_cast<jbyte>(v->value[0]), value.get()));
            if (!parameter) return nullptr;
            env->CallVoidMethod(response.get(), addHGF_TLV_methodID, parameter.get());
            if (env->ExceptionCheck()) return nullptr;
        } else if (v->type == LCMP_RECORD_WRITE_CONFIRM || v->type == LCMP_RECORD_CONTROL_CONFIRM) {
            if (!confirm) {
                jobject kindObj = v->type == LCMP_RECORD_WRITE_CONFIRM ? HGF_WRITE_PARAMETER_enumObj
                                                                        : HGF_CONTROL_CONFIRM_enumObj;
                confirm.reset(env->NewObject(cls_HGF_CONFIRM, constructor_HGF_CONFIRM, kindObj));
                if (!confirm) return nullptr;
            }
            const ScopedLocalRef<jbyteArray> value(env, NewBytes(env, v->value + 1, rest));
            if (!value) return nullptr;
            env->CallVoidMethod(confirm.get(), addParameter_methodID, value.get());
            if (env->ExceptionCheck()) return nullptr;
        }
    }
    if (confirm) {
        env->CallVoidMethod(response.get(), addHGF_TLV_methodID, confirm.get());
        if (env->ExceptionCheck()) return nullptr;
    }
    return response.release();
}

extern "C" {

JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Read_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address) {
    return Request(env, Kind::Read, destinationKind, list, address);
}

JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Write_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address) {
    return Request(env, Kind::Write, destinationKind, list, address);
}

JNIEXPORT jobject JNICALL Java_BrundixGhn_NetWork_DeviceCommunication_LCMP_LCMPCommManager_LCMP_1Control_1Wrapper(
    JNIEnv *env, jobject, jbyte destinationKind, jbyte, jobject list, jbyteArray address) {
    return Request(env, Kind::Control, destinationKind, list, address);
}

}  // extern "C"
