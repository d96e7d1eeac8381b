// Every failure the bridge reports to Java is raised here: the error code
// decides the identifier appended to the message and, for a timeout, the
// exception class.
#include <array>
#include <cstring>
#include <string_view>

#include "bridge.h"

namespace lcmp::bridge {

namespace {
// Indexed by -code - 1. -19 and -20 share their text.
constexpr std::array<const char *, 21> kErrorIdSuffixes = {
    " (ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED) ",
    " (ErrorId: LCMP_ERROR_ETH_IF)",
    " (ErrorId: LCMP_ERROR_SENDTO)",
    " (ErrorId: LCMP_ERROR_TIMEOUT)",
    " (ErrorId: LCMP_ERROR_DROP_PACKET)",
    " (ErrorId: LCMP_ERROR_RECV)",
    " (ErrorId: LCMP_ERROR_BIND)",
    " (ErrorId: LCMP_ERROR_ROOM_BOOT)",
    " (ErrorId: LCMP_ERROR_DISCOVER)",
    " (ErrorId: LCMP_ERROR_NULL_MAC)",
    " (ErrorId: LCMP_ERROR_PTHREAD_CREATE)",
    " (ErrorId: LCMP_ERROR_PTHREAD_JOIN)",
    " (ErrorId: LCMP_ERROR_BAD_ARGS)",
    " (ErrorId: LCMP_ERROR_MALLOC)",
    " (ErrorId: LCMP_ERROR_MAX_IF)",
    " (ErrorId: LCMP_ERROR_ADDITIONAL_RESULT)",
    " (ErrorId: LCMP_ERROR_TOO_MANY_DEVICES)",
    " (ErrorId: LCMP_ERROR_PARAMETER_TYPE)",
    " (ErrorId: LCMP_ERROR_SEND_PACKET)",
    " (ErrorId: LCMP_ERROR_SEND_PACKET)",
    " (ErrorId: LCMP_ERROR_CALLBACK)",
};
}  // namespace

const char *ErrorIdSuffix(int32_t code) noexcept {
    if (code > -1 || code < -static_cast<int32_t>(kErrorIdSuffixes.size())) return nullptr;
    return kErrorIdSuffixes[static_cast<std::size_t>(-code - 1)];
}

Buffer FormLCMPMessage(int32_t code, const char *message) noexcept {
    const char *suffix = ErrorIdSuffix(code);
    if (suffix == nullptr) return {};
    std::array<std::string_view, 5> parts = {message != nullptr ? message : "", suffix, "", "", ""};
    if (code == LCMP_ERROR_SOCKET_NOT_OPENED) {
        parts[2] = "[LCMP Wrapper Version=";
        parts[3] = wraperDriverversion;
        parts[4] = "]";
    }
    std::size_t length = 0;
    for (std::string_view part : parts) length += part.size();
    Buffer text = AllocateBuffer(length + 1);
    if (!text) return {};
    std::size_t at = 0;
    for (std::string_view part : parts) {
        std::memcpy(text.get() + at, part.data(), part.size());
        at += part.size();
    }
    text[at] = 0;
    return text;
}

}  // namespace lcmp::bridge

void throwLCMPException(int32_t code, const char *message, jclass cls) {
    using namespace lcmp::bridge;
    JNIEnv *env = nullptr;
    if (jvm == nullptr || jvm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) return;
    if (code < kBridgeError || code > -1) return;

    // When the formed text cannot be allocated the caller's message is raised
    // as it is: a failure must never go unreported.
    const lcmp::Buffer formed = FormLCMPMessage(code, message);
    const char *text = formed ? reinterpret_cast<const char *>(formed.get()) : message;
    const jclass raised = code == LCMP_ERROR_TIMEOUT ? LCMPTimeOutExceptionclass : cls;

    // Raising on top of a pending exception is undefined; this failure is the
    // one the caller is to see.
    if (env->ExceptionCheck()) env->ExceptionClear();
    const ScopedLocalRef<jclass> strong(env, static_cast<jclass>(env->NewLocalRef(raised)));
    if (!strong) return;
    env->ThrowNew(strong.get(), text);
}
