// The texts of the bridge's exceptions: the version text and the error
// identifier that each engine or transport code adds to a message. No JNI
// here, so the forming can be used and checked without a virtual machine.
#pragma once

#include <cstdint>

#include "LCMP_comm.h"

// The bridge's version, "1.0a": returned by both version methods and quoted
// in the message for LCMP_ERROR_SOCKET_NOT_OPENED.
extern const char wraperDriverversion[5];

namespace lcmp::bridge {

// Code of a failure that the bridge detects itself: its message is raised
// unchanged.
inline constexpr int32_t kBridgeError = -22;

// The text appended to a message for `code` (" (ErrorId: LCMP_ERROR_...)"),
// or null for a code without an identifier (anything outside -21..-1).
const char *ErrorIdSuffix(int32_t code) noexcept;

// The message followed directly by the suffix of `code` (for -1 also by the
// bracketed version), NUL-terminated, in a buffer of exactly that size from
// the allocation seam. Empty when the code has no suffix or memory is
// exhausted. A null message counts as empty.
Buffer FormLCMPMessage(int32_t code, const char *message) noexcept;

}  // namespace lcmp::bridge
