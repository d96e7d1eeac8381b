// Memory exhaustion sweep: for every engine and transport operation, each of
// its allocations is failed in turn (k = 1, 2, ... until the operation no
// longer reaches the k-th), once (transient) and from k on (persistent).
// Every failing run must return the out-of-memory code of the operation and
// leave its state usable; the heap in use (glibc's count; under
// AddressSanitizer, LeakSanitizer at exit) must be back where it started
// once the caller has released what it owns.
#include <gtest/gtest.h>

#include <algorithm>
#include <malloc.h>

#include <functional>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "callback_data.h"
#include "reassembly.h"
#include "registry.h"
#include "test_support.h"

namespace {

using lcmptest::AllocationFailureGuard;
using lcmptest::Bytes;

// One run of an operation: returns true when it succeeded, false when it
// reported running out of memory; fails the test on anything else. It
// releases everything the caller would own.
using Operation = std::function<bool()>;

#ifdef _WIN32
// The C runtime's heap, block by block.
std::size_t HeapInUse() {
    _HEAPINFO entry{};
    std::size_t used = 0;
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    return used;
}
#else
std::size_t HeapInUse() { return mallinfo2().uordblks; }
#endif

// Sweeps k until the operation completes without meeting its k-th
// allocation; returns how many allocations a successful run makes.
std::size_t Sweep(const std::string &name, const Operation &op) {
    AllocationFailureGuard guard;
    testing::internal::CaptureStdout();
    op();  // first use: lazily created state, stream buffers
    op();
    const std::size_t heap = HeapInUse();
    std::size_t needed = 0;
    for (bool persistent : {false, true}) {
        for (std::size_t k = 1; k < 10000; ++k) {
            lcmp::testing::FailAllocation(k, persistent);
            const bool ok = op();
            const std::size_t made = lcmp::testing::AllocationCount();
            lcmp::testing::FailAllocation(0);
            if (made < k) {  // the k-th allocation never happened
                EXPECT_TRUE(ok) << name << ": failed without an allocation failing (k=" << k << ")";
                needed = std::max(needed, made);
                break;
            }
            EXPECT_FALSE(ok) << name << ": allocation " << k << (persistent ? " on" : "")
                             << " failed, yet it reported success";
            EXPECT_EQ(HeapInUse(), heap) << name << ": heap grew after allocation " << k << " failed"
                                         << (persistent ? " (persistent)" : "");
        }
    }
    EXPECT_GT(needed, 0u) << name << ": allocates nothing, so the sweep tested nothing";
    EXPECT_TRUE(op()) << name << ": no longer works after the sweep";
    EXPECT_EQ(HeapInUse(), heap) << name << ": heap grew";
    testing::internal::GetCapturedStdout();
    return needed;
}

void AddParameters(LCMPValueList **list, int n) {
    for (int i = 0; i < n; ++i) {
        const uint8_t v[] = {0x00, static_cast<uint8_t>(i), 0x2A};
        ASSERT_EQ(LCMPValueAdd(list, sizeof v, v), LCMP_OK);
    }
}

TEST(HardeningAllocation, ValueListsAndRequests) {
    EXPECT_GE(Sweep("LCMPFullValueAdd", [] {
                  LCMPValueList *list = nullptr;
                  const uint8_t mac[6] = {2, 0, 0, 0, 0, 1}, v[] = {1, 2, 3};
                  const int32_t first = LCMPFullValueAdd(&list, mac, 0, sizeof v, v);
                  const int32_t second = LCMPFullValueAdd(&list, mac, 0, sizeof v, v);
                  const uint16_t count = list != nullptr ? list->count : 0;
                  LCMPValueListDestroy(list);
                  for (int32_t rc : {first, second})
                      if (rc != LCMP_OK && rc != LCMP_ERROR_MALLOC) ADD_FAILURE() << "code " << rc;
                  // A failed add leaves the list as it was.
                  EXPECT_EQ(count, (first == LCMP_OK) + (second == LCMP_OK));
                  return first == LCMP_OK && second == LCMP_OK;
              }),
              3u);  // the list, and one block for each entry with its bytes

    struct Named {
        const char *name;
        int32_t (*op)(LCMPValueList *, int32_t, const uint8_t *, LCMPValueList **);
        uint16_t entries;  // confirmation entries for 3 parameters
    };
    for (const Named &n : {Named{"LCMPRead", LCMPRead, 3}, Named{"LCMPWrite", LCMPWrite, 1},
                           Named{"LCMPControl", LCMPControl, 0}}) {
        lcmp::ValueListHolder request;
        AddParameters(request.location(), 3);
        LCMPValueList *req = request.get();
        Sweep(n.name, [&] {
            LCMPValueList *result = nullptr;
            const uint8_t device[6] = {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
            const int32_t rc = n.op(req, LCMP_DESTINATION_DEVICE, device, &result);
            const uint16_t count = result != nullptr ? result->count : 0;
            LCMPValueListDestroy(result);
            if (rc != LCMP_OK && rc != LCMP_ERROR_MALLOC) ADD_FAILURE() << n.name << " code " << rc;
            if (rc == LCMP_OK) { EXPECT_EQ(count, n.entries) << n.name; }
            return rc == LCMP_OK;
        });
        EXPECT_EQ(req->count, 3) << n.name << " changed the request";
    }
}

TEST(HardeningAllocation, CallbacksAndNotify) {
    lcmp::CallbackListDestroyAll();
    Sweep("CallbackDataCreate + LCMPCallBackInstall", [] {
        CallbackData *d = CallbackDataCreate(nullptr, 0, 0, nullptr);
        if (d == nullptr) return false;
        CallbackEntry *e = LCMPCallBackInstall(lcmp::Callback, LCMP_READ_CNF, d);
        const uint16_t count = lcmp::RegistryCount();
        LCMPCallBackUninstall(e);
        CallbackDataDestroy(d);
        lcmp::CallbackListDestroyAll();  // the registry itself is allocated too
        if (e != nullptr) { EXPECT_EQ(count, 1); }
        return e != nullptr;
    });

    lcmp::ValueListHolder list;
    AddParameters(list.location(), 2);
    LCMPValueList *l = list.get();
    Sweep("LCMPNotify", [l] {
        const int32_t rc = LCMPNotify(l, LCMP_DESTINATION_BROADCAST, nullptr, nullptr, 1);
        const uint16_t count = lcmp::RegistryCount();
        lcmp::NotifySubscriptionRelease();
        lcmp::CallbackListDestroyAll();
        if (rc != LCMP_OK && rc != LCMP_ERROR_MALLOC && rc != LCMP_ERROR_CALLBACK) ADD_FAILURE() << "code " << rc;
        if (rc == LCMP_OK) { EXPECT_EQ(count, 1); }
        return rc == LCMP_OK;
    });

    // Delivery of a notification to the subscription: the engine's callback
    // copies every type 6 record into a list for the function.
    static int delivered = 0;
    static uint16_t lastCount = 0;
    ASSERT_EQ(LCMPNotify(l, LCMP_DESTINATION_BROADCAST, nullptr,
                         [](LCMPValueList *got) {
                             ++delivered;
                             lastCount = got != nullptr ? got->count : 0;
                         },
                         1),
              LCMP_OK);
    const uint8_t mac[6] = {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const Bytes records{0x06, 0x02, 0x00, 0xAA, 0xBB, 0x06, 0x01, 0x00, 0xCC, 0x00, 0x01, 0x00, 0xDD};
    Bytes message(4 + records.size());
    message[0] = 0x05;
    message[1] = static_cast<uint8_t>(records.size());
    std::copy(records.begin(), records.end(), message.begin() + 4);
    Sweep("notification delivery", [&] {
        delivered = 0;
        lastCount = 0;
        CallbacksExecute(mac, LCMP_NOTIFY_IND, message.data(), static_cast<uint16_t>(message.size()));
        EXPECT_LE(delivered, 1);
        // All or nothing is not promised; never more records than were sent.
        EXPECT_LE(lastCount, 2);
        return delivered == 1 && lastCount == 2;
    });
    lcmp::NotifySubscriptionRelease();
    lcmp::CallbackListDestroyAll();
}

TEST(HardeningAllocation, ReassemblyFunctions) {
    const uint8_t mac[6] = {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const uint8_t head[] = {0x05, 0x04, 0x00}, tail[] = {0x00, 0x01, 0x00, 0x2A};
    lcmp::lastPacketTimestamp = {1700000000, 0};
    Sweep("SegmentAdd + FrameExtract", [&] {
        lcmp::SegmentedFramesList *list = nullptr;
        lcmp::SegmentedFrame *record = nullptr;
        bool ok = true;
        int32_t rc = lcmp::SegmentAdd(&list, 7, mac, LCMP_READ_CNF, tail, 1, 1, &record);
        if (rc != 0) {
            EXPECT_EQ(rc, LCMP_ERROR_MALLOC);
            ok = false;
        }
        rc = lcmp::SegmentAdd(&list, 7, mac, LCMP_READ_CNF, head, 0, 1, &record);
        if (rc != 0) {
            EXPECT_EQ(rc, LCMP_ERROR_MALLOC);
            ok = false;
        }
        if (ok) {
            EXPECT_EQ(record->segmentCount, 2);
            uint16_t length = 0;
            lcmp::Buffer joined;
            rc = lcmp::FrameExtract(list, record, &length, &joined);
            EXPECT_EQ(list->count, 0) << "the record goes, joined or not";
            if (rc == 0) {
                EXPECT_EQ(Bytes(joined.get(), joined.get() + length), (Bytes{0x05, 0x04, 0x00, 0x00, 0x01, 0x00, 0x2A}));
            } else {
                EXPECT_EQ(rc, LCMP_ERROR_MALLOC);
                ok = false;
            }
        }
        if (list != nullptr) { EXPECT_LE(list->count, 1); }
        lcmp::SegmentedFramesListDestroy(&list);
        EXPECT_EQ(list, nullptr);
        return ok;
    });
}

// A 4-segment message through the per-frame function, segments in order and
// reversed: a frame whose segment could not be stored reports OutOfMemory,
// and a message is delivered at most once, with exactly its bytes.
TEST(HardeningAllocation, SegmentedMessagesThroughHandleFrame) {
    lcmp::CallbackListDestroyAll();
    testing::internal::CaptureStdout();
    // What the callback saw, kept off the heap: a copy held between runs
    // would count as memory the operation leaked.
    static const Bytes records{0x00, 0x03, 0x00, 0x01, 0x02, 0x03, 0x00, 0x02, 0x00, 0x04, 0x05};
    static int delivered = 0, matching = 0;
    CallbackData *d = CallbackDataCreate(nullptr, 0, 0, nullptr);
    LCMPCallBackInstall([](const uint8_t *, const uint8_t *r, int n, CallbackData *) {
        ++delivered;
        if (n == static_cast<int>(records.size()) && std::equal(records.begin(), records.end(), r)) ++matching;
        return 0;
    }, LCMP_READ_CNF, d);
    testing::internal::GetCapturedStdout();
    Bytes message{0x05, static_cast<uint8_t>(records.size()), 0x00};
    message.insert(message.end(), records.begin(), records.end());
    std::vector<Bytes> segments;
    for (std::size_t s = 0, piece = (message.size() + 3) / 4; s < 4; ++s) {
        const auto from = static_cast<long>(s * piece), to = static_cast<long>(std::min(message.size(), (s + 1) * piece));
        const Bytes payload(message.begin() + from, message.begin() + to);
        Bytes frame{0x02, 0, 0, 0, 0, 1, 0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x22, 0xE3,
                    static_cast<uint8_t>(payload.size()), 0x10, 0x16, 0, static_cast<uint8_t>(0x03 | (s << 4)), 9, 0, 0};
        frame.insert(frame.end(), payload.begin(), payload.end());
        segments.push_back(frame);
    }
    for (bool reversed : {false, true}) {
        Sweep(reversed ? "HandleFrame, segments reversed" : "HandleFrame, segments in order", [&] {
            delivered = matching = 0;
            bool ok = true;
            for (int i = 0; i < 4; ++i) {
                const Bytes &f = segments[static_cast<std::size_t>(reversed ? 3 - i : i)];
                const auto outcome = lcmp::HandleFrame({1700000000, 100 + i}, f);
                if (outcome == lcmp::FrameOutcome::OutOfMemory) ok = false;
                else { EXPECT_EQ(outcome, i == 3 ? lcmp::FrameOutcome::Dispatched : lcmp::FrameOutcome::Held); }
                if (!ok) break;
            }
            EXPECT_LE(delivered, 1);
            EXPECT_EQ(matching, delivered);
            lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
            return ok && delivered == 1;
        });
    }
    lcmp::CallbackListDestroyAll();
    CallbackDataDestroy(d);
}

}  // namespace
