#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

using lcmptest::Bytes;
using lcmptest::Entries;
using lcmptest::ValueOf;

namespace {

const uint8_t kDevice[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

TEST(Read, CounterRunsAcrossEntriesFromF0AndWraps) {
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x10}, {0x20}});
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice, result.location()), 0);
    auto e = Entries(result.get());
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(ValueOf(e[0]), (Bytes{0x10, 0xF0, 0xF1}));
    EXPECT_EQ(ValueOf(e[1]), (Bytes{0x20, 0xF2, 0xF3}));
    EXPECT_EQ(e[0]->type, 0);

    lcmp::ValueListHolder ten, tenResult;
    for (uint8_t i = 0; i < 10; ++i) LCMPValueAdd(ten.location(), 1, &i);
    ASSERT_EQ(LCMPRead(ten.get(), 0, kDevice, tenResult.location()), 0);
    e = Entries(tenResult.get());
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(ValueOf(e[7]), (Bytes{7, 0xFE, 0xFF}));
    EXPECT_EQ(ValueOf(e[8]), (Bytes{8, 0x00, 0x01}));
    EXPECT_EQ(ValueOf(e[9]), (Bytes{9, 0x02, 0x03}));
}

TEST(Read, LongerEntryGetsLengthPlusTwoAndEachReadRestartsCounter) {
    for (int round = 0; round < 2; ++round) {
        lcmp::ValueListHolder request, result;
        lcmptest::AddAll(request, {{0x11, 0x05}});
        ASSERT_EQ(LCMPRead(request.get(), 0, kDevice, result.location()), 0);
        ASSERT_EQ(result.get()->count, 1);
        EXPECT_EQ(ValueOf(result.get()->first), (Bytes{0x11, 0xF0, 0xF1, 0xF2}));
    }
}

TEST(Read, EmptyOrAbsentRequestAppendsNothing) {
    lcmp::ValueListHolder result;
    EXPECT_EQ(LCMPRead(nullptr, 0, kDevice, result.location()), 0);
    EXPECT_EQ(result.get(), nullptr);
}

TEST(Write, ConfirmationListsCountAndIdentifiers) {
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x07, 0xAA}, {0x09, 0xBB, 0xCC}});
    ASSERT_EQ(LCMPWrite(request.get(), 0, kDevice, result.location()), 0);
    ASSERT_EQ(result.get()->count, 1);
    EXPECT_EQ(result.get()->first->type, 1);
    EXPECT_EQ(ValueOf(result.get()->first), (Bytes{0x02, 0x07, 0x09}));
}

TEST(Write, CountIsCutTo8BitsAndEmptyWriteConfirmsZero) {
    lcmp::ValueListHolder request, result;
    for (int i = 0; i < 256; ++i) {
        const uint8_t id = static_cast<uint8_t>(i);
        LCMPValueAdd(request.location(), 1, &id);
    }
    ASSERT_EQ(LCMPWrite(request.get(), 0, kDevice, result.location()), 0);
    ASSERT_EQ(result.get()->first->length, 257);
    EXPECT_EQ(result.get()->first->value[0], 0x00);
    EXPECT_EQ(result.get()->first->value[256], 0xFF);

    lcmp::ValueListHolder none;
    ASSERT_EQ(LCMPWrite(nullptr, 0, kDevice, none.location()), 0);
    EXPECT_EQ(ValueOf(none.get()->first), (Bytes{0x00}));
}

TEST(Write, ConfirmationListsTheEntriesThereAreWhateverTheCountSays) {
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x07}, {0x09}});
    request.get()->count = 3;  // a hand-built list whose count runs past its entries
    ASSERT_EQ(LCMPWrite(request.get(), 0, kDevice, result.location()), 0);
    EXPECT_EQ(ValueOf(result.get()->first), (Bytes{0x02, 0x07, 0x09}));
}

// Lengths are 16-bit counts: a request whose record area 16 bits cannot
// describe is refused before anything is composed or appended. Its read or
// write confirmation would not fit either.
TEST(RequestLimits, RecordAreaBeyond65535BytesIsRefused) {
    lcmptest::ComposedCapture capture;
    lcmp::ValueListHolder fits, fitsResult;
    lcmptest::AddAll(fits, {Bytes(65532, 0x11)});  // area 65535
    ASSERT_EQ(LCMPRead(fits.get(), 0, kDevice, fitsResult.location()), 0);
    EXPECT_EQ(fitsResult.get()->first->length, 65534);

    lcmp::ValueListHolder big, bigResult;
    lcmptest::AddAll(big, {Bytes(65533, 0x11)});  // area 65536
    EXPECT_EQ(LCMPRead(big.get(), 0, kDevice, bigResult.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(bigResult.get(), nullptr);

    lcmp::ValueListHolder many, manyResult;
    lcmptest::AddAll(many, std::vector<Bytes>(16384, Bytes{1}));  // 16 384 records of 4 bytes
    EXPECT_EQ(LCMPWrite(many.get(), 0, kDevice, manyResult.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(manyResult.get(), nullptr);
    EXPECT_EQ(capture.messages().size(), 1u);
}

TEST(Control, ProducesNoConfirmation) {
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x01, 0x02}});
    EXPECT_EQ(LCMPControl(request.get(), 0, kDevice, result.location()), 0);
    EXPECT_EQ(result.get(), nullptr);
}

TEST(Destination, KindSelectsTheSourceAddressOfEveryEntry) {
    struct Case {
        int32_t kind;
        const uint8_t *expected;
    } cases[] = {{0, kDevice}, {1, lcmp::kMulticastMac}, {2, lcmp::kBroadcastMac}};
    for (const auto &c : cases) {
        lcmp::ValueListHolder request, result;
        lcmptest::AddAll(request, {{1}, {2}});
        ASSERT_EQ(LCMPRead(request.get(), c.kind, kDevice, result.location()), 0);
        for (const LCMPValue *v : Entries(result.get())) EXPECT_EQ(0, std::memcmp(v->sourceMac, c.expected, 6));
    }
}

TEST(RequestMessage, ComposedBytesFollowTheRequestShape) {
    lcmptest::ComposedCapture capture;
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x07, 0xAA}, {0x09, 0xBB, 0xCC}});
    ASSERT_EQ(LCMPWrite(request.get(), 0, kDevice, result.location()), 0);
    ASSERT_EQ(capture.messages().size(), 1u);
    const auto &m = capture.messages()[0];
    EXPECT_EQ(m.opcode, LCMP_WRITE_REQ);
    // lead byte, zero requester address, area length 11 in network order,
    // then the records with their lengths least significant byte first.
    EXPECT_EQ(m.bytes, (Bytes{0x05, 0, 0, 0, 0, 0, 0, 0x00, 0x0B, 0x00, 0x02, 0x00, 0x07, 0xAA, 0x00, 0x03, 0x00,
                              0x09, 0xBB, 0xCC}));

    lcmp::ValueListHolder read, readResult;
    lcmptest::AddAll(read, {{1}, {2, 3, 4}});
    ASSERT_EQ(LCMPRead(read.get(), 0, kDevice, readResult.location()), 0);
    const auto &r = capture.messages()[1];
    EXPECT_EQ(r.opcode, LCMP_READ_REQ);
    ASSERT_EQ(r.bytes.size(), 19u);
    EXPECT_EQ(r.bytes[8], 10);
    EXPECT_EQ(r.bytes[9], LCMP_RECORD_READ_PARAMETER);
    EXPECT_EQ(r.bytes[13], LCMP_RECORD_READ_PARAMETER);

    lcmp::ValueListHolder control, controlResult;
    lcmptest::AddAll(control, {{5}});
    ASSERT_EQ(LCMPControl(control.get(), 0, kDevice, controlResult.location()), 0);
    EXPECT_EQ(capture.messages()[2].bytes[9], LCMP_RECORD_CONTROL_PARAMETER);
}

// Every allocation failed in turn: -14 each time, no leak, and entries that
// were appended before the failure remain in the caller's list.
TEST(RequestMemory, EveryFailedAllocationReportsMallocWithoutLeaking) {
    using Op = int32_t (*)(LCMPValueList *, int32_t, const uint8_t *, LCMPValueList **);
    for (Op op : {Op{LCMPRead}, Op{LCMPWrite}, Op{LCMPControl}}) {
        for (std::size_t k = 1;; ++k) {
            lcmp::ValueListHolder request, result;
            lcmptest::AddAll(request, {{1}, {2, 2}, {3}});
            lcmptest::AllocationFailureGuard guard;
            lcmp::testing::FailAllocation(k);
            const int32_t rc = op(request.get(), 1, nullptr, result.location());
            lcmp::testing::FailAllocation(0);
            if (rc == 0) {
                if (op == LCMPRead) {
                    EXPECT_EQ(result.get()->count, 3);
                }
                break;
            }
            ASSERT_EQ(rc, LCMP_ERROR_MALLOC) << "allocation " << k;
            if (result.get() != nullptr) {
                EXPECT_LT(result.get()->count, 3);
            }
            ASSERT_LT(k, 100u);
        }
    }
}

}  // namespace
