// The tools' platform helpers: the Linux interface calls, or the IP Helper
// API on Windows.
#include "lcmp_tool_platform.h"

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <memory>
#include <string>
#else
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>
#endif

namespace lcmptools {

#ifdef _WIN32

bool AdapterExists(const char *name) {
    ULONG size = 16 * 1024;
    std::unique_ptr<unsigned char[]> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer = std::make_unique<unsigned char[]>(size);
        result = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST |
                                                     GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                      nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.get()), &size);
    }
    if (result != NO_ERROR) return true;  // cannot tell: opening the adapter will say
    const std::string wanted = name;
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.get()); a != nullptr; a = a->Next) {
        const std::string guid = a->AdapterName != nullptr ? a->AdapterName : "";
        char friendly[256] = {};
        if (a->FriendlyName != nullptr)
            WideCharToMultiByte(CP_UTF8, 0, a->FriendlyName, -1, friendly, sizeof friendly - 1, nullptr, nullptr);
        if (wanted == guid || wanted == friendly || wanted == "\\Device\\NPF_" + guid) return true;
    }
    return false;
}

bool Privileged() { return true; }

std::tm UtcTime(std::time_t seconds) {
    std::tm tm{};
    gmtime_s(&tm, &seconds);
    return tm;
}

int StdoutToNull() {
    std::fflush(stdout);
    const int saved = _dup(1);
    const int sink = _open("NUL", _O_WRONLY);
    if (saved >= 0 && sink >= 0) _dup2(sink, 1);
    if (sink >= 0) _close(sink);
    return saved;
}

void StdoutRestore(int saved) {
    std::fflush(stdout);
    if (saved < 0) return;
    _dup2(saved, 1);
    _close(saved);
}

void OnInterrupt(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

#else

bool AdapterExists(const char *name) { return if_nametoindex(name) != 0; }

bool Privileged() { return geteuid() == 0; }

std::tm UtcTime(std::time_t seconds) {
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm;
}

int StdoutToNull() {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && sink >= 0) dup2(sink, STDOUT_FILENO);
    if (sink >= 0) close(sink);
    return saved;
}

void StdoutRestore(int saved) {
    std::fflush(stdout);
    if (saved < 0) return;
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

void OnInterrupt(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

#endif

}  // namespace lcmptools
