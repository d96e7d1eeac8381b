#include <gtest/gtest.h>

#include <cstring>

#include "registry.h"
#include "test_support.h"

using lcmptest::Bytes;
using lcmptest::Entries;
using lcmptest::ValueOf;

namespace {

const uint8_t kSender[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

struct Calls {
    static inline std::vector<std::pair<char, std::vector<Bytes>>> log;
    template <char Tag>
    static void Function(LCMPValueList *list) {
        std::vector<Bytes> values;
        for (const LCMPValue *v : Entries(list)) {
            EXPECT_EQ(v->type, 6);
            EXPECT_EQ(0, std::memcmp(v->sourceMac, kSender, 6));
            values.push_back(ValueOf(v));
        }
        log.emplace_back(Tag, values);
    }
};

void Notification(const Bytes &records) {
    Bytes payload = {0x05, static_cast<uint8_t>(records.size()), 0x00, 0x00};
    payload.insert(payload.end(), records.begin(), records.end());
    CallbacksExecute(kSender, LCMP_NOTIFY_IND, payload.data(), static_cast<uint16_t>(payload.size()));
}

class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        lcmp::CallbackListDestroyAll();
        Calls::log.clear();
    }
    void TearDown() override {
        lcmp::NotifySubscriptionRelease();
        lcmp::CallbackListDestroyAll();
    }
};

TEST_F(Notify, SecondSubscriptionReplacesTheFirst) {
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'a'>, 0), 0);
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'b'>, 0), 0);
    EXPECT_EQ(lcmp::RegistryCount(), 1);
    Notification({6, 2, 0, 1, 2, 0, 1, 0, 9, 6, 1, 0, 3});
    ASSERT_EQ(Calls::log.size(), 1u);
    EXPECT_EQ(Calls::log[0].first, 'b');
    EXPECT_EQ(Calls::log[0].second, (std::vector<Bytes>{{1, 2}, {3}}));
}

TEST_F(Notify, ReleaseRemovesTheSubscriptionAndIsIdempotent) {
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'a'>, 0), 0);
    lcmp::NotifySubscriptionRelease();
    lcmp::NotifySubscriptionRelease();
    EXPECT_EQ(lcmp::RegistryCount(), 0);
    Notification({6, 1, 0, 1});
    EXPECT_TRUE(Calls::log.empty());
}

TEST_F(Notify, SubscriptionSurvivesRegistryDestructionWithoutDanglingHandle) {
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'a'>, 0), 0);
    lcmp::CallbackListDestroyAll();  // the end of a receive loop
    // An unrelated entry, perhaps where the old subscription's entry was:
    // replacing the subscription must leave it alone.
    static int unrelated = 0;
    unrelated = 0;
    CallbackData *data = CallbackDataCreate(nullptr, 0, 0, nullptr);
    LCMPCallBackInstall([](const uint8_t *, const uint8_t *, int, CallbackData *) { return ++unrelated; },
                        LCMP_NOTIFY_IND, data);
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'b'>, 0), 0);
    Notification({6, 1, 0, 1});
    ASSERT_EQ(Calls::log.size(), 1u);
    EXPECT_EQ(Calls::log[0].first, 'b');
    EXPECT_EQ(unrelated, 1);
    lcmp::CallbackListDestroyAll();
    CallbackDataDestroy(data);
}

// Every allocation of LCMPNotify failed in turn. A failure before the new
// record exists keeps the old subscription (none here), and no failure
// leaves a callback without a record; a failure to create
// the registry gives -21 with the record kept until the next release.
TEST_F(Notify, EveryFailedAllocationGivesACodeAndNoHalfSubscription) {
    lcmp::ValueListHolder list;
    lcmptest::AddAll(list, {{3, 1, 2, 3, 4}});
    for (std::size_t k = 1;; ++k) {
        lcmp::CallbackListDestroyAll();
        lcmp::NotifySubscriptionRelease();
        lcmptest::AllocationFailureGuard guard;
        lcmp::testing::FailAllocation(k);
        testing::internal::CaptureStdout();
        const int32_t rc = LCMPNotify(list.get(), 0, nullptr, Calls::Function<'a'>, 0);
        testing::internal::GetCapturedStdout();
        lcmp::testing::FailAllocation(0);
        if (rc == 0) {
            EXPECT_EQ(lcmp::RegistryCount(), 1);
            break;
        }
        EXPECT_TRUE(rc == LCMP_ERROR_MALLOC || rc == LCMP_ERROR_CALLBACK) << rc;
        EXPECT_EQ(lcmp::RegistryCount(), 0) << "allocation " << k;
        ASSERT_LT(k, 20u);
    }
}

TEST_F(Notify, FailedMessageKeepsThePreviousSubscription) {
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'a'>, 0), 0);
    lcmptest::AllocationFailureGuard guard;
    lcmp::testing::FailAllocation(1);
    EXPECT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'b'>, 0), LCMP_ERROR_MALLOC);
    lcmp::testing::FailAllocation(2);  // the message is built, the new record is not
    EXPECT_EQ(LCMPNotify(nullptr, 0, nullptr, Calls::Function<'b'>, 0), LCMP_ERROR_MALLOC);
    lcmp::testing::FailAllocation(0);
    lcmp::ValueListHolder big;
    lcmptest::AddAll(big, {Bytes(65533, 1)});  // a record area of 65 536 bytes
    EXPECT_EQ(LCMPNotify(big.get(), 0, nullptr, Calls::Function<'b'>, 0), LCMP_ERROR_BAD_ARGS);
    Notification({6, 1, 0, 1});
    ASSERT_EQ(Calls::log.size(), 1u);
    EXPECT_EQ(Calls::log[0].first, 'a');
}

}  // namespace
