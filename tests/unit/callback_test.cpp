#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "callback_data.h"
#include "test_support.h"

using lcmptest::Bytes;
using lcmptest::Entries;
using lcmptest::ValueOf;

namespace {

const uint8_t kSender[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

// What the engine's function hook saw, per test.
struct Seen {
    static inline int calls = 0;
    static inline std::vector<std::vector<Bytes>> lists;
    static inline std::vector<int32_t> types;
    static void Reset() {
        calls = 0;
        lists.clear();
        types.clear();
    }
    static void Record(LCMPValueList *list) {
        ++calls;
        std::vector<Bytes> values;
        for (const LCMPValue *v : Entries(list)) {
            values.push_back(ValueOf(v));
            types.push_back(v->type);
            EXPECT_EQ(0, std::memcmp(v->sourceMac, kSender, 6));
        }
        lists.push_back(values);
    }
};

struct DataHolder {
    CallbackData *data;
    explicit DataHolder(CallbackData *d) : data(d) {}
    ~DataHolder() { CallbackDataDestroy(data); }
};

int Deliver(int (*fn)(const uint8_t *, const uint8_t *, int, CallbackData *), const Bytes &area, CallbackData *d) {
    return fn(kSender, area.data(), static_cast<int>(area.size()), d);
}

TEST(Callback, CollectsOnlyNonEmptyRecordsOfTheFilterType) {
    Seen::Reset();
    DataHolder h(CallbackDataCreate(nullptr, 6, 0, Seen::Record));
    // types 6, 0, 6 with lengths 2, 1, 3, then an empty type 6 record and one more
    const Bytes area = {6, 2, 0, 0xA, 0xB, 0, 1, 0, 0xC, 6, 3, 0, 1, 2, 3, 6, 0, 0, 6, 1, 0, 9};
    Deliver(lcmp::Callback, area, h.data);
    ASSERT_EQ(Seen::calls, 1);
    EXPECT_EQ(Seen::lists[0], (std::vector<Bytes>{{0xA, 0xB}, {1, 2, 3}, {9}}));
    for (int32_t t : Seen::types) EXPECT_EQ(t, 6);
}

TEST(Callback, FilterOutsideByteRangeNeverMatchesAndNoFunctionDiscards) {
    Seen::Reset();
    DataHolder wide(CallbackDataCreate(nullptr, 256 + 6, 0, Seen::Record));
    Deliver(lcmp::Callback, {6, 1, 0, 1}, wide.data);
    ASSERT_EQ(Seen::calls, 1);
    EXPECT_TRUE(Seen::lists[0].empty());
    DataHolder silent(CallbackDataCreate(nullptr, 6, 0, nullptr));
    Deliver(lcmp::Callback, {6, 1, 0, 1}, silent.data);  // collected and destroyed: no leak
    EXPECT_EQ(Deliver(lcmp::Callback, {6, 1, 0, 1}, nullptr), 0);
}

TEST(Callback, ResultLocationAccumulatesAcrossDeliveries) {
    Seen::Reset();
    lcmp::ValueListHolder result;
    DataHolder h(CallbackDataCreate(result.location(), 0, 0, Seen::Record));
    Deliver(lcmp::Callback, {0, 1, 0, 0x11}, h.data);
    Deliver(lcmp::Callback, {0, 1, 0, 0x22}, h.data);
    ASSERT_EQ(result.get()->count, 2);
    EXPECT_EQ(ValueOf(result.get()->first), (Bytes{0x11}));
    EXPECT_EQ(ValueOf(result.get()->last), (Bytes{0x22}));
    EXPECT_EQ(Seen::lists[1].size(), 2u);  // the function sees the whole list
}

TEST(CallbackUnicast, DeliversOnceAndReleasesTheSemaphoreOnce) {
    Seen::Reset();
    DataHolder h(CallbackDataCreate(nullptr, 0, 0, Seen::Record));
    EXPECT_EQ(lcmp::wait(0, &h.data->semaphore), 0);
    Deliver(lcmp::CallbackUnicast, {0, 1, 0, 1}, h.data);
    Deliver(lcmp::CallbackUnicast, {0, 1, 0, 2}, h.data);
    EXPECT_EQ(Seen::calls, 1);
    EXPECT_EQ(lcmp::wait(100, &h.data->semaphore), 1);
    EXPECT_EQ(lcmp::wait(20, &h.data->semaphore), 0);
}

TEST(CallbackUnicast, ExactlyOnceUnderConcurrentDeliveries) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> functionCalls{0};
        static std::atomic<int> *counter;
        counter = &functionCalls;
        DataHolder h(CallbackDataCreate(nullptr, 0, 0, [](LCMPValueList *) { counter->fetch_add(1); }));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] { Deliver(lcmp::CallbackUnicast, {0, 1, 0, 1}, h.data); });
        for (auto &t : threads) t.join();
        EXPECT_EQ(functionCalls.load(), 1);
        EXPECT_EQ(lcmp::wait(0, &h.data->semaphore), 1);
        EXPECT_EQ(lcmp::wait(0, &h.data->semaphore), 0);
    }
}

TEST(Semaphore, ReleaseBeyondMaximumIsRefused) {
    lcmp::Semaphore s;
    EXPECT_TRUE(s.release());
    EXPECT_FALSE(s.release());
    EXPECT_TRUE(s.acquireFor(std::chrono::milliseconds(0)));
    EXPECT_FALSE(s.acquireFor(std::chrono::milliseconds(0)));
}

TEST(CallbackMemory, FailedAppendsAreSkippedAndLaterRecordsStillCollected) {
    Seen::Reset();
    DataHolder h(CallbackDataCreate(nullptr, 0, 0, Seen::Record));
    lcmptest::AllocationFailureGuard guard;
    lcmp::testing::FailAllocation(2);  // the first record's entry
    Deliver(lcmp::Callback, {0, 1, 0, 1, 0, 1, 0, 2}, h.data);
    lcmp::testing::FailAllocation(0);
    ASSERT_EQ(Seen::calls, 1);
    EXPECT_EQ(Seen::lists[0], (std::vector<Bytes>{{2}}));
    lcmp::testing::FailAllocation(1);
    EXPECT_EQ(CallbackDataCreate(nullptr, 0, 0, nullptr), nullptr);
}

}  // namespace
