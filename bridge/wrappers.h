// The conversions shared by the request wrappers and the delivery of
// received messages to Java callback objects.
#pragma once

#include <jni.h>

#include <optional>
#include <string>

#include "bridge.h"
#include "lcmp.h"

// Builds an LCMPResponse for `address` from a confirmation or delivery list:
// type 0 entries become HGF_PARAMETER_TLV objects in list order, type 1 and 5
// entries the arrays of one HGF_CONFIRM added last. The list is only read.
// Null, with the Java exception left pending, when a Java call fails; the
// conversion stops there.
jobject conformLCMPResponse(JNIEnv *env, const LCMPValueList *list, jbyteArray address);

// The registry function of Java callbacks, called on the receive thread.
int CallbackCtoJava(const uint8_t *sourceMac, const uint8_t *records, int length, CallbackData *data);

namespace lcmp::bridge {

// The Java element classes that carry an ID byte and a value array
// (HGF_PARAMETER_TLV, HGF_NOTIFY_TLV), with the messages for elements that
// break the contract.
struct IdValueClass {
    jclass cls;
    jmethodID id;
    jmethodID value;
    const char *badElement;  // raised with LCMP_ERROR_BAD_ARGS for another class
    const char *nullValue;   // raised with LCMP_ERROR_BAD_ARGS for a null value array
    const char *longValue;   // raised with LCMP_ERROR_BAD_ARGS for a value of more than kMaxValue bytes
};

// The longest value an element may have: with its ID byte, the entry's
// length must fit 16 bits.
inline constexpr jsize kMaxValue = 65534;

// Appends a request entry of `type` for one such element: the ID byte, then
// the value bytes. The append's code, or nothing with an exception pending
// (raised here, or thrown by a getter).
std::optional<int32_t> AppendIdAndValue(JNIEnv *env, jobject element, const IdValueClass &shape, int32_t type,
                                        LCMPValueList **location);

// Builds a request list from a java.util.ArrayList: `entry` turns each
// element (null ones too) into an entry and returns the append's code, or
// nothing with an exception pending. The walk goes on while appends return
// 0; each element's local reference is deleted after its turn. A failed
// append raises `buildFailure` with its code. False when an exception is
// pending.
template <typename Entry>
bool BuildEntries(JNIEnv *env, jobject list, const char *buildFailure, Entry &&entry) {
    const jint size = env->CallIntMethod(list, size_arrayList_methodID);
    if (env->ExceptionCheck()) return false;
    int32_t rc = LCMP_OK;
    for (jint i = 0; i < size && rc == LCMP_OK; ++i) {
        const ScopedLocalRef<> element(env, env->CallObjectMethod(list, get_arrayList_methodID, i));
        if (env->ExceptionCheck()) return false;
        const std::optional<int32_t> added = entry(element.get());
        if (!added) return false;
        rc = *added;
    }
    if (rc != LCMP_OK) {
        throwLCMPException(rc, buildFailure, newExcLCMPclass);
        return false;
    }
    return true;
}

// The message of a device-mode failure that has a reason to give, or none:
// LCMP_ERROR_SOCKET_NOT_OPENED (no session is open: closed, or never opened),
// LCMP_ERROR_ADDITIONAL_RESULT (a collection stopped at its bounds) and
// LCMP_ERROR_BAD_ARGS for a destination kind other than 0, 1 and 2.
// `operation` begins the text, e.g. "Error on LCMPRead".
std::optional<std::string> DeviceFailureText(const char *operation, int32_t rc, jbyte destinationKind);

// The function of the Notify subscription: hands the type 6 records of one
// notification to the notification callback object of LCMPSession, if one is
// set, on the receive thread. The list is only read.
void NotificationToJava(LCMPValueList *list);

// What a Java callback registration keeps in its CallbackData's owner word:
// the object, by a weak global reference, and its LCMPCallBack, looked up
// once at registration (null when its class has none).
struct JavaOwner {
    jweak object;
    jmethodID callBack;
};

// Deletes the JavaOwner kept as a CallbackData owner and its weak global
// reference, from whatever thread releases the record.
void ReleaseWeakOwner(uintptr_t owner) noexcept;

// Whether the record is that of a Java callback registration, so that its
// owner word is a JavaOwner. A C host's record may carry an owner word of
// its own, which must never be taken for one.
bool IsJavaCallback(const CallbackData *data) noexcept;

// The JavaOwner in the owner word of a record for which IsJavaCallback holds.
inline const JavaOwner &OwnerOf(uintptr_t owner) noexcept { return *reinterpret_cast<const JavaOwner *>(owner); }
}  // namespace lcmp::bridge
