// Windows: the packet-capture library, wpcap.dll, is loaded at the first
// call, not imported, so that the library and the tools load and run on a
// machine without Npcap. Npcap's own folder comes first, loaded by full path
// (its Packet.dll is found beside it; the process's DLL search path stays as
// it is), then wpcap.dll wherever Windows finds it (WinPcap-compatible
// installs, Wine).
//
// Every libpcap function this code calls is defined here and forwards to the
// loaded library. A function the library lacks (Wine's has no immediate
// mode, capture direction or selectable descriptor) fails the way libpcap
// reports a refused setting instead of aborting the process, so callers take
// their fallbacks.
#include <pcap.h>
#include <windows.h>

#include <array>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform.h"

namespace {

#define LCMP_PCAP_NAMES(X)                                                                                    \
    X(pcap_activate) X(pcap_breakloop) X(pcap_close) X(pcap_compile) X(pcap_create) X(pcap_datalink)        \
    X(pcap_datalink_val_to_name)                                                                          \
    X(pcap_dispatch) X(pcap_dump) X(pcap_dump_close) X(pcap_dump_open) X(pcap_findalldevs)                  \
    X(pcap_freealldevs) X(pcap_freecode) X(pcap_geterr) X(pcap_next_ex) X(pcap_open_dead)                   \
    X(pcap_open_offline) X(pcap_sendpacket) X(pcap_set_buffer_size) X(pcap_set_immediate_mode)             \
    X(pcap_set_promisc) X(pcap_set_snaplen) X(pcap_set_timeout) X(pcap_setdirection) X(pcap_setfilter)      \
    X(pcap_setnonblock)

enum Function : std::size_t {
#define LCMP_PCAP_ENUM(name) k_##name,
    LCMP_PCAP_NAMES(LCMP_PCAP_ENUM)
#undef LCMP_PCAP_ENUM
        kFunctionCount
};

constexpr const char *kNames[] = {
#define LCMP_PCAP_TEXT(name) #name,
    LCMP_PCAP_NAMES(LCMP_PCAP_TEXT)
#undef LCMP_PCAP_TEXT
};

constexpr const char kMissing[] =
    "Npcap must be installed (https://npcap.com, with \"WinPcap API-compatible Mode\") to use network adapters.";

std::once_flag gLoadOnce;
HMODULE gLibrary = nullptr;
std::array<void *, kFunctionCount> gProcs{};

void Load() {
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::string npcap = std::string(system, length) + "\\Npcap\\wpcap.dll";
        gLibrary = LoadLibraryExA(npcap.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (gLibrary == nullptr) gLibrary = LoadLibraryExA("wpcap.dll", nullptr, 0);
    if (gLibrary == nullptr) return;
    for (std::size_t i = 0; i < kFunctionCount; ++i)
        gProcs[i] = reinterpret_cast<void *>(GetProcAddress(gLibrary, kNames[i]));
}

void *Proc(Function f) {
    std::call_once(gLoadOnce, Load);
    return gProcs[f];
}

// Calls the loaded function, or returns `fail` without it.
template <class R, class... A>
R Forward(Function f, R fail, A... args) {
    void *proc = Proc(f);
    if (proc == nullptr) return fail;
    return reinterpret_cast<R (*)(A...)>(proc)(args...);
}

template <class... A>
void ForwardVoid(Function f, A... args) {
    if (void *proc = Proc(f)) reinterpret_cast<void (*)(A...)>(proc)(args...);
}

// For the functions that return a handle and report into `error`.
pcap_t *OpenFailed(char *error) {
    if (error != nullptr) std::snprintf(error, PCAP_ERRBUF_SIZE, "wpcap.dll not found: %s", kMissing);
    return nullptr;
}

}  // namespace

namespace lcmp {

const char *CaptureLibraryMissing() noexcept {
    std::call_once(gLoadOnce, Load);
    return gLibrary == nullptr ? kMissing : nullptr;
}

}  // namespace lcmp

extern "C" {

int pcap_activate(pcap_t *p) { return Forward(k_pcap_activate, PCAP_ERROR, p); }
void pcap_breakloop(pcap_t *p) { ForwardVoid(k_pcap_breakloop, p); }
void pcap_close(pcap_t *p) { ForwardVoid(k_pcap_close, p); }
int pcap_compile(pcap_t *p, bpf_program *program, const char *text, int optimize, bpf_u_int32 mask) {
    return Forward(k_pcap_compile, PCAP_ERROR, p, program, text, optimize, mask);
}
pcap_t *pcap_create(const char *source, char *error) {
    if (Proc(k_pcap_create) == nullptr) return OpenFailed(error);
    return Forward(k_pcap_create, static_cast<pcap_t *>(nullptr), source, error);
}
int pcap_datalink(pcap_t *p) { return Forward(k_pcap_datalink, PCAP_ERROR, p); }
const char *pcap_datalink_val_to_name(int link) {
    return Forward(k_pcap_datalink_val_to_name, static_cast<const char *>(nullptr), link);
}
int pcap_dispatch(pcap_t *p, int count, pcap_handler callback, u_char *user) {
    return Forward(k_pcap_dispatch, PCAP_ERROR, p, count, callback, user);
}
void pcap_dump(u_char *dumper, const pcap_pkthdr *header, const u_char *bytes) {
    ForwardVoid(k_pcap_dump, dumper, header, bytes);
}
void pcap_dump_close(pcap_dumper_t *dumper) { ForwardVoid(k_pcap_dump_close, dumper); }
pcap_dumper_t *pcap_dump_open(pcap_t *p, const char *path) {
    return Forward(k_pcap_dump_open, static_cast<pcap_dumper_t *>(nullptr), p, path);
}
int pcap_findalldevs(pcap_if_t **devices, char *error) {
    if (Proc(k_pcap_findalldevs) == nullptr) {
        OpenFailed(error);
        return PCAP_ERROR;
    }
    return Forward(k_pcap_findalldevs, PCAP_ERROR, devices, error);
}
void pcap_freealldevs(pcap_if_t *devices) { ForwardVoid(k_pcap_freealldevs, devices); }
void pcap_freecode(bpf_program *program) { ForwardVoid(k_pcap_freecode, program); }
char *pcap_geterr(pcap_t *p) {
    static char unknown[] = "wpcap.dll has no pcap_geterr";
    return Forward(k_pcap_geterr, static_cast<char *>(unknown), p);
}
int pcap_next_ex(pcap_t *p, pcap_pkthdr **header, const u_char **data) {
    return Forward(k_pcap_next_ex, PCAP_ERROR, p, header, data);
}
pcap_t *pcap_open_dead(int link, int snapshot) {
    return Forward(k_pcap_open_dead, static_cast<pcap_t *>(nullptr), link, snapshot);
}
pcap_t *pcap_open_offline(const char *path, char *error) {
    if (Proc(k_pcap_open_offline) == nullptr) return OpenFailed(error);
    return Forward(k_pcap_open_offline, static_cast<pcap_t *>(nullptr), path, error);
}
int pcap_sendpacket(pcap_t *p, const u_char *frame, int size) {
    return Forward(k_pcap_sendpacket, PCAP_ERROR, p, frame, size);
}
int pcap_set_buffer_size(pcap_t *p, int bytes) { return Forward(k_pcap_set_buffer_size, PCAP_ERROR, p, bytes); }
int pcap_set_immediate_mode(pcap_t *p, int on) { return Forward(k_pcap_set_immediate_mode, PCAP_ERROR, p, on); }
int pcap_set_promisc(pcap_t *p, int on) { return Forward(k_pcap_set_promisc, PCAP_ERROR, p, on); }
int pcap_set_snaplen(pcap_t *p, int length) { return Forward(k_pcap_set_snaplen, PCAP_ERROR, p, length); }
int pcap_set_timeout(pcap_t *p, int ms) { return Forward(k_pcap_set_timeout, PCAP_ERROR, p, ms); }
int pcap_setdirection(pcap_t *p, pcap_direction_t direction) {
    return Forward(k_pcap_setdirection, PCAP_ERROR, p, direction);
}
int pcap_setfilter(pcap_t *p, bpf_program *program) { return Forward(k_pcap_setfilter, PCAP_ERROR, p, program); }
int pcap_setnonblock(pcap_t *p, int on, char *error) {
    return Forward(k_pcap_setnonblock, PCAP_ERROR, p, on, error);
}

}  // extern "C"
