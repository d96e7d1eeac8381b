// The request mode: whether the request operations answer locally (the
// default) or send their requests to the devices and wait for the answers.
// Process-wide; read by every request, set rarely.
#include <mutex>

#include "LCMP_comm.h"
#include "transaction.h"

namespace lcmp {
namespace {
// Mode, timeout and attempts are set together and read together.
std::mutex gMutex;
RequestSettings gSettings{LCMP_REQUESTS_LOCAL, 500, 3};
}  // namespace

RequestSettings RequestModeGet() noexcept {
    std::lock_guard lock(gMutex);
    return gSettings;
}

}  // namespace lcmp

extern "C" int32_t LCMPRequestModeSet(int32_t mode, uint32_t timeoutMs, uint32_t attempts) {
    if ((mode != LCMP_REQUESTS_LOCAL && mode != LCMP_REQUESTS_DEVICE) || timeoutMs == 0 || attempts == 0)
        return LCMP_ERROR_BAD_ARGS;
    {
        std::lock_guard lock(lcmp::gMutex);
        lcmp::gSettings = lcmp::RequestSettings{mode, timeoutMs, attempts};
    }
    if (mode == LCMP_REQUESTS_DEVICE) lcmp::DeviceModeEnabled();
    return LCMP_OK;
}
