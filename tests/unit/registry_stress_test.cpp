// Concurrency of the registry: installs, removals (by handle and by Java
// index) and dispatches from several threads at once, with callbacks that
// remove themselves and their neighbours. Run under ThreadSanitizer and
// AddressSanitizer in CI; here they check that nothing is freed twice or
// used after release, and that every record is released exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "callback_data.h"
#include "registry.h"

namespace {

const uint8_t kSender[6] = {0x02, 0, 0, 0, 0, 2};
const uint8_t kMessage[] = {0x05, 0x04, 0x00, 0x00, 0x01, 0x00, 0x2A};

void Send() { CallbacksExecute(kSender, LCMP_READ_CNF, kMessage, sizeof kMessage); }

// A native entry (owner 0), removed by handle by whoever claims it first.
// The test reaches it from the record's result location, which its own
// callback function does not otherwise use.
struct Native {
    std::atomic<CallbackEntry *> handle{nullptr};
    std::atomic<bool> claimed{false};
    CallbackData *data = nullptr;
    bool Claim() { return !claimed.exchange(true); }
    void Remove() {
        CallbackEntry *e = nullptr;
        while ((e = handle.load()) == nullptr) std::this_thread::yield();  // still being installed
        LCMPCallBackUninstall(e);
        CallbackDataDestroy(data);
    }
};

// A Java-style entry (owner set), removed only by index, like the bridge.
struct Java {
    std::atomic<int> released{0};
};

std::atomic<long> gCalls{0};

int NativeCallback(const uint8_t *, const uint8_t *, int, CallbackData *d) {
    gCalls.fetch_add(1, std::memory_order_relaxed);
    auto *self = reinterpret_cast<Native *>(d->resultLocation);
    if ((reinterpret_cast<uintptr_t>(self) >> 4) % 3 == 0 && self->Claim()) self->Remove();  // removes itself
    return 0;
}

int JavaCallback(const uint8_t *, const uint8_t *, int, CallbackData *d) {
    gCalls.fetch_add(1, std::memory_order_relaxed);
    if ((d->owner >> 4) % 5 == 0) LCMPCallBackJavaUninstall(static_cast<int32_t>((d->owner >> 6) % 3));
    return 0;
}

TEST(RegistryStress, ConcurrentInstallRemoveAndDispatch) {
    lcmp::CallbackListDestroyAll();
    constexpr int kWorkers = 4, kOps = 1500;
    std::vector<std::unique_ptr<Native>> natives[kWorkers];
    std::vector<std::unique_ptr<Java>> javas[kWorkers];
    std::atomic<bool> stop{false};

    std::atomic<long> dispatches{0};
    std::vector<std::thread> dispatchers;
    for (int i = 0; i < 2; ++i)
        dispatchers.emplace_back([&] {
            while (!stop.load()) {
                Send();
                dispatches.fetch_add(1);
            }
        });

    testing::internal::CaptureStdout();
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 rng(static_cast<unsigned>(w + 1));
            for (int op = 0; op < kOps; ++op) {
                switch (rng() % 4) {
                    case 0: {
                        auto n = std::make_unique<Native>();
                        n->data = CallbackDataCreate(reinterpret_cast<LCMPValueList **>(n.get()), 0, 0, nullptr);
                        n->handle = LCMPCallBackInstall(NativeCallback, LCMP_READ_CNF, n->data);
                        natives[w].push_back(std::move(n));
                        break;
                    }
                    case 1: {
                        auto j = std::make_unique<Java>();
                        CallbackData *d = CallbackDataCreate(nullptr, 0, reinterpret_cast<uintptr_t>(j.get()), nullptr);
                        lcmp::CallbackDataSetOwnerRelease(
                            d, [](uintptr_t o) { reinterpret_cast<Java *>(o)->released.fetch_add(1); });
                        LCMPCallBackInstall(JavaCallback, LCMP_READ_CNF, d);
                        javas[w].push_back(std::move(j));
                        break;
                    }
                    case 2:
                        if (!natives[w].empty()) {
                            Native &n = *natives[w][rng() % natives[w].size()];
                            if (n.Claim()) n.Remove();
                        }
                        break;
                    default: LCMPCallBackJavaUninstall(static_cast<int32_t>(rng() % 8)); break;
                }
            }
        });
    for (auto &t : workers) t.join();
    // On a loaded machine the dispatchers may not have run while the workers
    // did: two more dispatches cover what they left installed.
    for (const long seen = dispatches.load(); dispatches.load() < seen + 2;) std::this_thread::yield();
    stop = true;
    for (auto &t : dispatchers) t.join();

    // What is still installed goes with the registry; records stay with their owners.
    std::vector<CallbackData *> javaLeft;
    lcmp::VisitEntries(
        [](CallbackData *d, int32_t, void *c) {
            if (d->owner != 0) static_cast<std::vector<CallbackData *> *>(c)->push_back(d);
        },
        &javaLeft);
    lcmp::CallbackListDestroyAll();
    testing::internal::GetCapturedStdout();
    for (CallbackData *d : javaLeft) CallbackDataDestroy(d);
    for (auto &list : natives)
        for (auto &n : list)
            if (n->Claim()) CallbackDataDestroy(n->data);
    for (auto &list : javas)
        for (auto &j : list) EXPECT_EQ(j->released.load(), 1);
    EXPECT_GT(gCalls.load(), 0);
}

// After a removal on another thread has returned, no dispatch that starts
// later calls the entry.
TEST(RegistryStress, NoCallAfterCrossThreadRemovalReturned) {
    lcmp::CallbackListDestroyAll();
    static std::atomic<long> dispatchIndex{0};
    static std::atomic<long> lastCalledIn{-1};
    testing::internal::CaptureStdout();
    for (int round = 0; round < 200; ++round) {
        dispatchIndex = 0;
        lastCalledIn = -1;
        CallbackData *d = CallbackDataCreate(nullptr, 0, 0, nullptr);
        CallbackEntry *e = LCMPCallBackInstall(
            [](const uint8_t *, const uint8_t *, int, CallbackData *) {
                lastCalledIn = dispatchIndex.load();
                return 0;
            },
            LCMP_READ_CNF, d);
        std::atomic<bool> stop{false};
        std::thread receive([&] {
            while (!stop) {
                dispatchIndex.fetch_add(1);
                Send();
            }
        });
        while (dispatchIndex.load() < 3) std::this_thread::yield();
        LCMPCallBackUninstall(e);
        const long removedDuring = dispatchIndex.load();
        CallbackDataDestroy(d);
        while (dispatchIndex.load() < removedDuring + 3) std::this_thread::yield();
        stop = true;
        receive.join();
        EXPECT_LE(lastCalledIn.load(), removedDuring) << "round " << round;
    }
    lcmp::CallbackListDestroyAll();
    testing::internal::GetCapturedStdout();
}

}  // namespace
