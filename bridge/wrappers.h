// The conversions shared by the request wrappers and the delivery of
// received messages to Java callback objects.
#pragma once

#include <jni.h>

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
// Appends a request entry of `type` holding `lead` followed by the bytes of
// `value` (whose length counts modulo 65536). 0 or LCMP_ERROR_MALLOC.
int32_t AppendLeadAndArray(JNIEnv *env, LCMPValueList **location, int32_t type, jbyte lead, jbyteArray value);

// Deletes the weak global reference kept as a CallbackData owner, from
// whatever thread releases the record.
void ReleaseWeakOwner(uintptr_t owner) noexcept;

// Whether the record is that of a Java callback registration, so that its
// owner word is a weak global reference. A C host's record may carry an
// owner word of its own, which must never be taken for one.
bool IsJavaCallback(const CallbackData *data) noexcept;
}  // namespace lcmp::bridge
