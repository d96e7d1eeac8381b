#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "LCMP_comm.h"

namespace {

std::vector<uint8_t> Bytes(const LCMPValue *v) { return {v->value, v->value + v->length}; }

TEST(ValueList, FirstAddCreatesListAndKeepsOrder) {
    lcmp::ValueListHolder list;
    const uint8_t a[] = {1}, b[] = {2, 3}, c[] = {4, 5, 6};
    ASSERT_EQ(LCMPValueAdd(list.location(), 1, a), 0);
    ASSERT_NE(list.get(), nullptr);
    EXPECT_EQ(list.get()->count, 1);
    EXPECT_EQ(list.get()->first, list.get()->last);
    ASSERT_EQ(LCMPValueAdd(list.location(), 2, b), 0);
    ASSERT_EQ(LCMPValueAdd(list.location(), 3, c), 0);
    EXPECT_EQ(list.get()->count, 3);
    const LCMPValue *v = list.get()->first;
    EXPECT_EQ(Bytes(v), (std::vector<uint8_t>{1}));
    EXPECT_EQ(v->type, 0);
    EXPECT_EQ(Bytes(v->next), (std::vector<uint8_t>{2, 3}));
    EXPECT_EQ(Bytes(v->next->next), (std::vector<uint8_t>{4, 5, 6}));
    EXPECT_EQ(v->next->next, list.get()->last);
    EXPECT_EQ(list.get()->last->next, nullptr);
}

TEST(ValueList, FullAddCarriesSourceAddressTypeAndCopiesValue) {
    lcmp::ValueListHolder list;
    const uint8_t mac[6] = {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint8_t value[] = {9, 8};
    ASSERT_EQ(LCMPFullValueAdd(list.location(), mac, 6, 2, value), 0);
    value[0] = 0;  // the list holds its own copy
    const LCMPValue *v = list.get()->first;
    EXPECT_EQ(0, std::memcmp(v->sourceMac, mac, 6));
    EXPECT_EQ(v->type, 6);
    EXPECT_EQ(Bytes(v), (std::vector<uint8_t>{9, 8}));
}

TEST(ValueList, DestroyAcceptsNullAndEntriesOfAnyLength) {
    EXPECT_EQ(LCMPValueListDestroy(nullptr), 0);
    LCMPValueList *list = nullptr;
    std::vector<uint8_t> big(300, 0xAB);
    ASSERT_EQ(LCMPValueAdd(&list, 0, nullptr), 0);
    ASSERT_EQ(LCMPValueAdd(&list, 300, big.data()), 0);
    EXPECT_EQ(list->first->length, 0);
    EXPECT_EQ(list->last->length, 300);
    EXPECT_EQ(LCMPValueListDestroy(list), 0);  // the leak checker of the sanitizer pass watches this
}

// Every allocation of an add failed in turn: -14, the list as it was, no leak.
TEST(ValueListMemory, EveryFailedAllocationLeavesListUnchanged) {
    for (std::size_t k = 1;; ++k) {
        lcmp::ValueListHolder list;
        const uint8_t one[] = {1}, two[] = {2, 2};
        ASSERT_EQ(LCMPValueAdd(list.location(), 1, one), 0);
        lcmp::testing::FailAllocation(k);
        const int32_t rc = LCMPValueAdd(list.location(), 2, two);
        lcmp::testing::FailAllocation(0);
        if (rc == 0) {
            EXPECT_EQ(list.get()->count, 2);
            EXPECT_GT(k, 1u);
            break;
        }
        EXPECT_EQ(rc, LCMP_ERROR_MALLOC) << "k=" << k;
        EXPECT_EQ(list.get()->count, 1);
        EXPECT_EQ(list.get()->first, list.get()->last);
        EXPECT_EQ(list.get()->last->next, nullptr);
    }
}

TEST(ValueListMemory, FailedFirstAddLeavesNoListOrAnEmptyOne) {
    for (std::size_t k = 1; k <= 3; ++k) {
        lcmp::ValueListHolder list;
        const uint8_t one[] = {1};
        lcmp::testing::FailAllocation(k);
        const int32_t rc = LCMPValueAdd(list.location(), 1, one);
        lcmp::testing::FailAllocation(0);
        if (rc == 0) break;
        EXPECT_EQ(rc, LCMP_ERROR_MALLOC);
        if (k == 1) EXPECT_EQ(list.get(), nullptr);
        else {
            ASSERT_NE(list.get(), nullptr);  // created by this call, stays empty
            EXPECT_EQ(list.get()->count, 0);
            EXPECT_EQ(list.get()->first, nullptr);
        }
    }
}

}  // namespace
