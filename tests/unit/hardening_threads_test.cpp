// Registry under load: 8 threads install and remove callbacks (native ones by
// handle, Java-style ones by index) while a dispatcher delivers messages at
// 10 kHz or more, with callbacks that remove themselves and each other. A
// watchdog fails the run when no operation completes for 10 s (a deadlock).
// Checks: no call to an entry begins after its removal on another thread
// returned; every Java-style record is released exactly once.
//
// The CI run does 40 000 operations; LCMP_STRESS_OPS sets another total
// (1 000 000 for the long run) and the figures are printed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "callback_data.h"
#include "registry.h"

namespace {

using Clock = std::chrono::steady_clock;
const uint8_t kSender[6] = {0x02, 0, 0, 0, 0, 2};
const uint8_t kMessage[] = {0x05, 0x04, 0x00, 0x00, 0x01, 0x00, 0x2A};

// One native entry. `removedAt` is the dispatch count read just after its
// removal returned; a call that starts in a later dispatch is a fault.
struct Entry {
    CallbackData *data = nullptr;
    std::atomic<CallbackEntry *> handle{nullptr};
    std::atomic<bool> claimed{false};
    std::atomic<long> removedAt{-1};
    std::atomic<int> lateCalls{0};
};

std::atomic<long> gDispatch{0};
std::atomic<long> gCalls{0};
std::atomic<long> gProgress{0};

void RemoveEntry(Entry &e) {
    CallbackEntry *h = nullptr;
    while ((h = e.handle.load()) == nullptr) std::this_thread::yield();
    LCMPCallBackUninstall(h);
    e.removedAt.store(gDispatch.load());
    CallbackDataDestroy(e.data);
}

int NativeCallback(const uint8_t *, const uint8_t *, int, CallbackData *d) {
    const long dispatch = gDispatch.load();
    gCalls.fetch_add(1, std::memory_order_relaxed);
    auto *self = reinterpret_cast<Entry *>(d->resultLocation);
    const long removed = self->removedAt.load();
    // The dispatch count is raised before each message: a call in a dispatch
    // numbered above the one current at removal began after it returned.
    if (removed >= 0 && dispatch > removed) self->lateCalls.fetch_add(1);
    const uintptr_t mix = reinterpret_cast<uintptr_t>(self) >> 4;
    if (mix % 4 == 0 && !self->claimed.exchange(true)) RemoveEntry(*self);  // removes itself
    return 0;
}

int JavaCallback(const uint8_t *, const uint8_t *, int, CallbackData *d) {
    gCalls.fetch_add(1, std::memory_order_relaxed);
    if ((d->owner >> 4) % 3 == 0) LCMPCallBackJavaUninstall(static_cast<int32_t>((d->owner >> 6) % 4));  // a neighbour
    return 0;
}

long OpsFromEnvironment() {
    const char *s = std::getenv("LCMP_STRESS_OPS");
    return s != nullptr && std::atol(s) > 0 ? std::atol(s) : 40000;
}

TEST(HardeningThreads, EightThreadsAgainstDispatchWithWatchdog) {
    lcmp::CallbackListDestroyAll();
    constexpr int kThreads = 8;
    const long total = OpsFromEnvironment();
    std::vector<std::unique_ptr<Entry>> entries[kThreads];
    std::vector<std::unique_ptr<std::atomic<int>>> released[kThreads];
    std::atomic<bool> stop{false}, hung{false};
    testing::internal::CaptureStdout();
    const auto start = Clock::now();

    std::thread dispatcher([&] {
        while (!stop.load()) {
            gDispatch.fetch_add(1);
            CallbacksExecute(kSender, LCMP_READ_CNF, kMessage, sizeof kMessage);
            gProgress.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread watchdog([&] {
        long last = -1;
        auto quietSince = Clock::now();
        while (!stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const long now = gProgress.load();
            if (now != last) {
                last = now;
                quietSince = Clock::now();
            } else if (Clock::now() - quietSince > std::chrono::seconds(10)) {
                hung = true;
                std::fprintf(stderr, "watchdog: no progress for 10 s, deadlock\n");
                std::abort();
            }
        }
    });

    std::vector<std::thread> workers;
    for (int w = 0; w < kThreads; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 rng(static_cast<unsigned>(w * 7919 + 1));
            for (long op = 0; op < total / kThreads; ++op) {
                switch (rng() % 4) {
                    case 0: {
                        auto e = std::make_unique<Entry>();
                        e->data = CallbackDataCreate(reinterpret_cast<LCMPValueList **>(e.get()), 0, 0, nullptr);
                        e->handle = LCMPCallBackInstall(NativeCallback, LCMP_READ_CNF, e->data);
                        entries[w].push_back(std::move(e));
                        break;
                    }
                    case 1: {
                        auto r = std::make_unique<std::atomic<int>>(0);
                        CallbackData *d = CallbackDataCreate(nullptr, 0, reinterpret_cast<uintptr_t>(r.get()), nullptr);
                        lcmp::CallbackDataSetOwnerRelease(
                            d, [](uintptr_t o) { reinterpret_cast<std::atomic<int> *>(o)->fetch_add(1); });
                        LCMPCallBackInstall(JavaCallback, LCMP_READ_CNF, d);
                        released[w].push_back(std::move(r));
                        break;
                    }
                    case 2: {  // remove one of this thread's or another thread's entries
                        if (entries[w].empty()) break;
                        Entry &e = *entries[w][rng() % entries[w].size()];
                        if (!e.claimed.exchange(true)) RemoveEntry(e);
                        break;
                    }
                    default: LCMPCallBackJavaUninstall(static_cast<int32_t>(rng() % 16)); break;
                }
                gProgress.fetch_add(1, std::memory_order_relaxed);
                // Keep the registry small enough that dispatch stays fast.
                if (entries[w].size() > 64 && op % 64 == 0)
                    for (auto &e : entries[w])
                        if (!e->claimed.exchange(true)) RemoveEntry(*e);
            }
        });
    for (auto &t : workers) t.join();
    const std::chrono::duration<double> took = Clock::now() - start;
    // On a loaded machine the dispatcher may not have run while the workers
    // did: two more dispatches cover what they left installed.
    for (const long seen = gDispatch.load(); gDispatch.load() < seen + 2;) std::this_thread::yield();
    stop = true;
    dispatcher.join();
    watchdog.join();

    std::vector<CallbackData *> javaLeft;
    lcmp::VisitEntries(
        [](CallbackData *d, int32_t, void *c) {
            if (d->owner != 0) static_cast<std::vector<CallbackData *> *>(c)->push_back(d);
        },
        &javaLeft);
    lcmp::CallbackListDestroyAll();
    testing::internal::GetCapturedStdout();
    for (CallbackData *d : javaLeft) CallbackDataDestroy(d);

    long late = 0, natives = 0;
    for (auto &list : entries)
        for (auto &e : list) {
            ++natives;
            late += e->lateCalls.load();
            if (!e->claimed.exchange(true)) CallbackDataDestroy(e->data);
        }
    long javas = 0, wrong = 0;
    for (auto &list : released)
        for (auto &r : list) {
            ++javas;
            if (r->load() != 1) ++wrong;
        }
    const double rate = static_cast<double>(gDispatch.load()) / took.count();
    std::printf("stress: %ld operations on %d threads in %.2f s; %ld dispatches (%.0f/s), %ld calls; "
                "%ld native and %ld Java-style entries\n",
                total, kThreads, took.count(), gDispatch.load(), rate, gCalls.load(), natives, javas);
    EXPECT_FALSE(hung.load());
    EXPECT_EQ(late, 0) << "calls began after a removal had returned";
    EXPECT_EQ(wrong, 0) << "Java-style records not released exactly once";
    EXPECT_GT(gCalls.load(), 0);
}

}  // namespace
