#include <gtest/gtest.h>

#include "test_support.h"

using lcmptest::Bytes;

namespace {

std::vector<std::pair<uint8_t, Bytes>> Walk(const Bytes &area) {
    std::vector<std::pair<uint8_t, Bytes>> out;
    lcmp::WalkRecords(std::span<const uint8_t>(area), [&](const lcmp::Record &r) {
        out.emplace_back(r.type, Bytes(r.value.begin(), r.value.end()));
    });
    return out;
}

TEST(RecordWalk, RecordsEndToEndAndTrailingBytesIgnored) {
    EXPECT_TRUE(Walk({}).empty());
    const auto one = Walk({0x00, 0x02, 0x00, 0xAA, 0xBB});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].second, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(Walk({0x00, 0x02, 0x00, 0xAA, 0xBB, 0x77}).size(), 1u);
    EXPECT_EQ(Walk({0x00, 0x02, 0x00, 0xAA, 0xBB, 0x77, 0x01}).size(), 1u);
    const auto two = Walk({0x00, 0x01, 0x00, 0x05, 0x05, 0x02, 0x00, 0x10, 0x20});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].first, 5);
    EXPECT_EQ(two[1].second, (Bytes{0x10, 0x20}));
}

TEST(RecordWalk, RecordLongerThanTheAreaIsDroppedNeverRead) {
    const auto r = Walk({0x06, 0x01, 0x00, 0x09, 0x06, 0xFF, 0xFF, 0x01});
    ASSERT_EQ(r.size(), 1u);  // the second record claims 65535 bytes
    EXPECT_EQ(r[0].second, (Bytes{0x09}));
    EXPECT_TRUE(Walk({0x00, 0x04, 0x00, 0x01, 0x02, 0x03}).empty());
}

TEST(RecordArea, LocatedByOpcodeShape) {
    Bytes request(9 + 16, 0);
    request[0] = 0x05;
    request[7] = 0x10;
    auto area = lcmp::RecordArea(LCMP_READ_REQ, request);
    ASSERT_TRUE(area);
    EXPECT_EQ(area->data(), request.data() + 9);
    EXPECT_EQ(area->size(), 16u);

    Bytes notify = {0x05, 0x0A, 0x00, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    area = lcmp::RecordArea(LCMP_NOTIFY_IND, notify);
    ASSERT_TRUE(area);
    EXPECT_EQ(area->data(), notify.data() + 4);
    EXPECT_EQ(area->size(), 10u);

    const Bytes confirm = {0x05, 0x00, 0x00};
    for (int32_t op : {LCMP_READ_CNF, LCMP_WRITE_CNF, LCMP_CONTROL_CNF, LCMP_NOTIFY_RSP}) {
        area = lcmp::RecordArea(op, confirm);
        ASSERT_TRUE(area);
        EXPECT_EQ(area->size(), 0u);
    }
}

TEST(RecordArea, RefusesWrongLeadUnknownOpcodeAndOverlongAreas) {
    EXPECT_FALSE(lcmp::RecordArea(LCMP_READ_CNF, Bytes{0x06, 0x00, 0x00}));
    EXPECT_FALSE(lcmp::RecordArea(0x168, Bytes{0x05, 0x00, 0x00}));
    EXPECT_FALSE(lcmp::RecordArea(LCMP_READ_CNF, Bytes{0x05, 0x04, 0x00, 1, 2, 3}));  // one short
    EXPECT_FALSE(lcmp::RecordArea(LCMP_READ_REQ, Bytes{0x05, 0, 0, 0, 0, 0, 0, 0}));  // header cut
    EXPECT_FALSE(lcmp::RecordArea(LCMP_NOTIFY_IND, Bytes{0x05, 0x00, 0x00}));         // no flag byte
    EXPECT_FALSE(lcmp::RecordArea(LCMP_READ_CNF, Bytes{}));
}

TEST(NotifyMessage, SubscriptionMessageShape) {
    lcmptest::ComposedCapture capture;
    lcmp::ValueListHolder list;
    lcmptest::AddAll(list, {{0x03, 0xAA}, {0x04, 1, 2, 3}});
    ASSERT_EQ(LCMPNotify(list.get(), 0, nullptr, nullptr, 7), 0);
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0].opcode, LCMP_NOTIFY_IND);
    EXPECT_EQ(capture.messages()[0].bytes, (Bytes{0x05, 0x00, 0x0C, 0x01, 0x06, 0x02, 0x00, 0x03, 0xAA, 0x06, 0x04,
                                                  0x00, 0x04, 1, 2, 3}));
    lcmp::NotifySubscriptionRelease();
}

}  // namespace
