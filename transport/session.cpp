// Adapter session: opening the named adapter for live capture, the receive
// thread and its loop, and closing again.
//
// Two locks: the session lock serialises opening and closing; the handle
// lock guards `fp` against a close while a sender uses it. The receive loop
// takes neither: `fp` is set before its thread starts and closed only after
// the thread was joined.
#include <pcap.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "platform.h"
#include "reassembly.h"
#include "registry.h"
#include "transaction.h"

namespace lcmp {

char lcmpInterfaceName[kInterfaceNameSize] = {};
pcap_t *fp = nullptr;
std::atomic<uint8_t> lcmpReceiveThreadRunning{0};

namespace {

std::mutex gSessionMutex;
std::mutex gHandleMutex;

// The receive thread. Its object is never destroyed: a process that exits
// with a session still open must not reach std::terminate from the
// destructor of a joinable std::thread.
union ThreadSlot {
    std::thread thread;
    ThreadSlot() : thread() {}
    ~ThreadSlot() {}
};
ThreadSlot gReceiveThread;
// Set before the receive thread starts, cleared once it was joined: frames
// fed from elsewhere are refused from the first moment the loop may run.
std::atomic<bool> gReceiveThreadExists{false};
// Written by the receive thread itself before it handles a frame, so that
// LCMPEnd from any callback finds that it runs on this thread.
std::atomic<std::thread::id> gReceiveThreadId{};
// LCMPEnd was called from a callback: the loop ends after it, and the next
// LCMPInit or LCMPEnd on another thread joins it and closes the adapter.
std::atomic<bool> gStoppedFromCallback{false};
std::atomic<void (*)()> gStartHook{nullptr};
// Set by the receive thread as its loop ends, for whatever reason; cleared
// before the next one starts.
std::atomic<bool> gReceiveLoopEnded{false};
// The capture library could not keep this host's own frames out by the
// capture direction (Wine's has no pcap_setdirection): the filter does.
bool gOwnFramesFiltered = false;

// Frames to the adapter's own address when it is known, else every frame of
// the Ethertype (the loop checks the Ethertype itself as well).
void FilterInstall(pcap_t *handle, const uint8_t *own) {
    char text[160];
    if (own != nullptr) {
        const int length = std::snprintf(text, sizeof text,
                                         "ether dst %02X:%02X:%02X:%02X:%02X:%02X and ether proto 0x%04X", own[0],
                                         own[1], own[2], own[3], own[4], own[5], kEthertype);
        if (gOwnFramesFiltered && length > 0)
            std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                          " and not ether src %02X:%02X:%02X:%02X:%02X:%02X", own[0], own[1], own[2], own[3],
                          own[4], own[5]);
    } else {
        std::fprintf(stderr, "\nAddress of adapter %s unknown: receiving all frames of Ethertype 0x%04X\n",
                     lcmpInterfaceName, kEthertype);
        std::snprintf(text, sizeof text, "ether proto 0x%04X", kEthertype);
    }
    bpf_program program{};
    if (pcap_compile(handle, &program, text, 1, 0xFFFFFF) < 0) {
        std::fprintf(stderr, "\nError compiling filter: wrong syntax.\n");
        return;
    }
    if (pcap_setfilter(handle, &program) < 0) std::fprintf(stderr, "\nError setting the filter\n");
    pcap_freecode(&program);
}

// Opens the adapter. Immediate mode hands each frame over as it arrives;
// without it the memory-mapped capture of Linux holds frames in a block
// until the block fills or the read timeout expires. A capture library
// without immediate mode gets a read timeout short enough to stand in for it.
pcap_t *AdapterOpen(const char *name) {
    char errorText[PCAP_ERRBUF_SIZE];  // not reported
    pcap_t *handle = pcap_create(name, errorText);
    if (handle == nullptr) return nullptr;
    const bool immediate = pcap_set_immediate_mode(handle, 1) == 0;
    if (pcap_set_snaplen(handle, kSnapshotLength) != 0 || pcap_set_promisc(handle, 0) != 0 ||
        pcap_set_timeout(handle, immediate ? kReadTimeoutMs : kShortReadTimeoutMs) != 0 ||
        pcap_set_buffer_size(handle, kCaptureBufferBytes) != 0 || pcap_activate(handle) < 0 || pcap_datalink(handle) != DLT_EN10MB) {
        // Frames without an Ethernet header (the "any" pseudo-adapter, for
        // one) cannot carry LCMP as this library reads it.
        pcap_close(handle);
        return nullptr;
    }
    // Frames this host sends are not addressed to it; keep them out of the
    // loop even when the filter admits every destination.
    gOwnFramesFiltered = pcap_setdirection(handle, PCAP_D_IN) != 0;
    return handle;
}

// The adapter's address as read when the session opened, the source of
// device mode's frames; written under the handle lock, under which
// MessageSend reads it.
uint8_t gOwn[kMacSize] = {};

int32_t LinkSendOnSession(void * /*context*/, const uint8_t *destination, int32_t opcode,
                          std::span<const uint8_t> message, std::atomic<int32_t> *sequence) {
    return MessageSend(destination, gOwn, opcode, message, sequence);
}

}  // namespace

std::mutex &HandleMutex() noexcept { return gHandleMutex; }

bool ReceiveThreadActive() noexcept { return gReceiveThreadExists.load(); }

bool CalledOnReceiveThread() noexcept { return std::this_thread::get_id() == gReceiveThreadId.load(); }

namespace testing {
void SetReceiveThreadStartHook(void (*hook)()) noexcept { gStartHook.store(hook); }
}  // namespace testing

int ReceiveThreadFunction(void * /*unused*/) noexcept {
    gReceiveThreadId.store(std::this_thread::get_id());
    pcap_t *const handle = fp;  // stays open until this thread was joined
    while (lcmpReceiveThreadRunning.load()) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int result = pcap_next_ex(handle, &header, &data);
        if (result < 0) break;     // capture error, or woken for the stop
        if (result == 0) continue;  // read timeout: no frame, no ageing
        HandleFrame(header->ts, std::span<const uint8_t>(data, header->caplen));
    }
    CallbackListDestroyAll();
    SegmentedFramesListDestroy(&lcmpSegmentedFramesList);
    gReceiveLoopEnded.store(true);
    return 0;
}

int32_t LCMPReceiveThreadCreate(ReceiveThreadHooks hooks) noexcept {
    // Set before the thread exists, so that a stop requested before the
    // loop's first pass is not overwritten.
    lcmpReceiveThreadRunning.store(1);
    gReceiveLoopEnded.store(false);
    gReceiveThreadExists.store(true);
    try {
        // The adapter's name stays as it is until this thread was joined.
        gReceiveThread.thread = std::thread([hooks] {
            if (hooks.start != nullptr) hooks.start(lcmpInterfaceName);
            ReceiveThreadFunction(nullptr);
            if (hooks.end != nullptr) hooks.end();
        });
    } catch (...) {
        lcmpReceiveThreadRunning.store(0);
        gReceiveThreadExists.store(false);
        return -1;
    }
    if (auto *hook = gStartHook.load()) hook();
    return 0;
}

void LCMPReceiveThreadStop() noexcept {
    lcmpReceiveThreadRunning.store(0);
    // Wakes a read blocked on a quiet line, or makes the next one return.
    if (fp != nullptr) pcap_breakloop(fp);
}

namespace {

// Stops and joins the receive thread, if any, and closes the adapter. With
// the session lock held, never on the receive thread.
void SessionClose() noexcept {
    LCMPReceiveThreadStop();
    if (gReceiveThread.thread.joinable()) {
        gReceiveThread.thread.join();
        gReceiveThreadId.store(std::thread::id());
        gReceiveThreadExists.store(false);
    }
    gStoppedFromCallback.store(false);
    std::lock_guard<std::mutex> handle(gHandleMutex);
    if (fp != nullptr) {
        pcap_close(fp);
        fp = nullptr;
    }
}

}  // namespace

int32_t LCMPSocketInit(const char *adapterName, ReceiveThreadHooks hooks) noexcept {
    if (adapterName == nullptr) return LCMP_ERROR_BAD_ARGS;
    // A longer name is refused: cut short it could name another adapter.
    if (strnlen(adapterName, kInterfaceNameSize) >= kInterfaceNameSize) return LCMP_ERROR_BAD_ARGS;

    // From a callback: this thread's session is open, and a caller of
    // LCMPEnd may hold the session lock while it waits for this thread.
    if (std::this_thread::get_id() == gReceiveThreadId.load()) return LCMP_ERROR_BAD_ARGS;

    std::lock_guard<std::mutex> session(gSessionMutex);
    if (fp != nullptr) {
        // One session at a time. A session whose loop a callback stopped is
        // over but still holds the adapter: it is closed here.
        if (!gStoppedFromCallback.load()) return LCMP_ERROR_BAD_ARGS;
        SessionClose();
    }
    // Without the capture library (Windows without Npcap) no adapter opens;
    // the second line says what to install.
    const char *missing = CaptureLibraryMissing();
    {
        std::lock_guard<std::mutex> handle(gHandleMutex);
        std::memset(lcmpInterfaceName, 0, sizeof lcmpInterfaceName);
        std::strncpy(lcmpInterfaceName, adapterName, kInterfaceNameSize - 1);
        if (missing == nullptr) fp = AdapterOpen(CaptureName(adapterName).c_str());
    }
    if (fp == nullptr) {
        std::fprintf(stderr, "\nUnable to open the adapter. %s is not supported by WinPcap\n", adapterName);
        if (missing != nullptr) std::fprintf(stderr, "%s\n", missing);
        return LCMP_ERROR_SOCKET_NOT_OPENED;
    }
    // The adapter's address, read once: the filter and every device-mode
    // request use it.
    Link link;
    link.send = LinkSendOnSession;
    link.ownKnown = MacAddressGet(lcmpInterfaceName, link.own) == 0;
    link.sequencesUnpredictable = SequencesUnpredictable;
    link.onReceiveThread = CalledOnReceiveThread;
    {
        std::lock_guard<std::mutex> handle(gHandleMutex);  // a late send of the last session reads it under the lock
        std::memcpy(gOwn, link.own, kMacSize);
    }
    // The filter is in place before the loop starts: from the return of
    // LCMPInit on, only frames for this adapter reach it.
    FilterInstall(fp, link.ownKnown ? link.own : nullptr);
    if (LCMPReceiveThreadCreate(hooks) != 0) return LCMP_ERROR_PTHREAD_CREATE;
    LinkInstall(link);
    return LCMP_OK;
}

void LCMPSocketEnd() noexcept {
    // Requests waiting for answers end now rather than at their timeouts.
    LinkClear();
    if (std::this_thread::get_id() == gReceiveThreadId.load()) {
        // Called from a callback: the loop ends once the callback returns;
        // the next LCMPEnd or LCMPInit from another thread joins it and
        // closes the adapter.
        gStoppedFromCallback.store(true);
        LCMPReceiveThreadStop();
        return;
    }
    std::lock_guard<std::mutex> session(gSessionMutex);
    LinkClear();  // again: an LCMPInit that held the session lock may have installed it meanwhile
    SessionClose();
}

}  // namespace lcmp

extern "C" int32_t LCMPInit(const char *adapterName) { return lcmp::LCMPSocketInit(adapterName); }

extern "C" void LCMPEnd(void) {
    lcmp::LCMPSocketEnd();
    lcmp::NotifySubscriptionRelease();
}

extern "C" int32_t LCMPSessionState(void) {
    if (!lcmp::gReceiveThreadExists.load()) return LCMP_SESSION_NONE;
    return lcmp::gReceiveLoopEnded.load() ? LCMP_SESSION_ENDED : LCMP_SESSION_RECEIVING;
}

extern "C" void LCMPSleep(int32_t milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
