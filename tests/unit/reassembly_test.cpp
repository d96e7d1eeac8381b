#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "reassembly.h"
#include "test_support.h"

namespace {

using lcmp::lcmpSegmentedFramesList;
using lcmp::SegmentedFrame;

constexpr std::array<uint8_t, 6> kSender{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr std::array<uint8_t, 6> kOtherSender{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};

timeval At(int64_t seconds, int64_t micro) { return lcmptest::TimeAt(seconds, micro); }

class Reassembly : public ::testing::Test {
protected:
    void TearDown() override {
        lcmp::testing::FailAllocation(0);
        lcmp::SegmentedFramesListDestroy(&lcmpSegmentedFramesList);
        lcmp::lastPacketTimestamp = {};
    }
    // Adds a segment at capture time `now`, as the receive loop would.
    SegmentedFrame *Add(timeval now, uint8_t seq, uint8_t segment, std::vector<uint8_t> bytes,
                        const std::array<uint8_t, 6> &mac = kSender, uint16_t opcode = 0x161,
                        int32_t expected = 0) {
        lcmp::lastPacketTimestamp = now;
        SegmentedFrame *frame = nullptr;
        EXPECT_EQ(lcmp::SegmentAdd(&lcmpSegmentedFramesList, seq, mac, opcode, bytes, segment, last_, &frame), expected);
        return frame;
    }
    int32_t CleanAt(timeval now) {
        lcmp::lastPacketTimestamp = now;
        return lcmp::SegmentedFramesListClean(lcmpSegmentedFramesList);
    }
    uint8_t last_ = 15;  // last-segment number of the segments Add stores
    uint16_t Count() const { return lcmpSegmentedFramesList ? lcmpSegmentedFramesList->count : 0; }
    std::vector<uint8_t> Extract(SegmentedFrame *frame) {
        uint16_t length = 99;
        lcmp::Buffer joined;
        EXPECT_EQ(lcmp::FrameExtract(lcmpSegmentedFramesList, frame, &length, &joined), 0);
        return joined ? std::vector<uint8_t>(joined.get(), joined.get() + length) : std::vector<uint8_t>{};
    }
};

TEST(TimevalSubtract, DifferencesAndEarlierOperand) {
    timeval x = At(10, 100), y = At(9, 900000), r{};
    EXPECT_EQ(lcmp::timeval_subtract(&x, &y, &r), 0);
    EXPECT_EQ(r.tv_sec, 0);
    EXPECT_EQ(r.tv_usec, 100100);
    // y was renormalised but still denotes 9.9 s.
    EXPECT_EQ(y.tv_sec * 1000000 + y.tv_usec, 9900000);

    x = At(5, 0), y = At(5, 1), r = At(77, 77);
    EXPECT_EQ(lcmp::timeval_subtract(&x, &y, &r), -1);
    EXPECT_EQ(r.tv_sec, 77);  // unwritten

    x = At(5, 1000000), y = At(5, 0);
    EXPECT_EQ(lcmp::timeval_subtract(&x, &y, &r), 0);
    EXPECT_EQ(r.tv_sec, 0);
    EXPECT_EQ(r.tv_usec, 1000000);

    // Past 2038 the seconds keep counting.
    if (!lcmptest::kSecondsPast2038) return;
    x = At(2147483648LL, 30000), y = At(2147483647LL, 990000);
    EXPECT_EQ(lcmp::timeval_subtract(&x, &y, &r), 0);
    EXPECT_EQ(r.tv_sec, 0);
    EXPECT_EQ(r.tv_usec, 40000);
}

TEST_F(Reassembly, SegmentsInAnyOrderJoinAscending) {
    Add(At(1, 0), 7, 2, {0x20, 0x21});
    Add(At(1, 10), 7, 0, {0x00});
    SegmentedFrame *frame = Add(At(1, 20), 7, 1, {0x10, 0x11, 0x12});
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->segmentCount, 3);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Extract(frame), (std::vector<uint8_t>{0x00, 0x10, 0x11, 0x12, 0x20, 0x21}));
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(lcmpSegmentedFramesList->first, nullptr);
    EXPECT_EQ(lcmpSegmentedFramesList->last, nullptr);
}

TEST_F(Reassembly, DuplicateSegmentIsIgnoredAndKeepsTheStamp) {
    SegmentedFrame *frame = Add(At(3, 0), 1, 1, {0xAA});
    EXPECT_EQ(Add(At(3, 40000), 1, 1, {0xAA}), frame);
    EXPECT_EQ(frame->segmentCount, 1);
    EXPECT_EQ(frame->timestamp.tv_usec, 0);
    // Ageing counts from the first copy: 50 001 us after it the record is gone.
    EXPECT_EQ(CleanAt(At(3, 50001)), 0);
    EXPECT_EQ(Count(), 0);

    frame = Add(At(4, 0), 1, 1, {0xAA});
    Add(At(4, 10), 1, 1, {0xAA});
    frame = Add(At(4, 20), 1, 0, {0x01});
    EXPECT_EQ(frame->segmentCount, 2);
    EXPECT_EQ(Extract(frame), (std::vector<uint8_t>{0x01, 0xAA}));
}

// A key is reused by the next message (devices answer with the request's
// sequence number): a segment that cannot belong to the held partial message
// replaces it rather than joining it or being dropped.
TEST_F(Reassembly, SegmentOfAnotherMessageReplacesTheHeldOne) {
    Add(At(3, 0), 1, 0, {0xA0});
    // Other bytes under a held segment number.
    SegmentedFrame *frame = Add(At(3, 10), 1, 0, {0xB0});
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Add(At(3, 20), 1, 1, {0xB1}), frame);
    EXPECT_EQ(Extract(frame), (std::vector<uint8_t>{0xB0, 0xB1}));

    // Another last-segment number: another message, whatever the segment.
    last_ = 2;
    Add(At(4, 0), 1, 0, {0xA0});
    last_ = 1;
    frame = Add(At(4, 10), 1, 1, {0xB1});
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(frame->segmentCount, 1);
    EXPECT_EQ(frame->lastSegment, 1);
}

TEST_F(Reassembly, KeyIsSequenceLowSenderAndOpcode) {
    SegmentedFrame *a = Add(At(1, 0), 5, 0, {1});
    SegmentedFrame *b = Add(At(1, 0), 5, 0, {2}, kOtherSender);
    SegmentedFrame *c = Add(At(1, 0), 5, 0, {3}, kSender, 0x163);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(b, c);
    EXPECT_EQ(Count(), 3);
    // Interleaved messages are found again and complete in either order.
    EXPECT_EQ(Add(At(1, 5), 5, 1, {9}, kOtherSender), b);
    EXPECT_EQ(Extract(b), (std::vector<uint8_t>{2, 9}));
    EXPECT_EQ(Add(At(1, 6), 5, 1, {8}), a);
    EXPECT_EQ(Extract(a), (std::vector<uint8_t>{1, 8}));
    EXPECT_EQ(Count(), 1);
}

TEST_F(Reassembly, AgeingBoundaries) {
    Add(At(10, 0), 1, 0, {1});
    EXPECT_EQ(CleanAt(At(10, 50000)), 0);
    EXPECT_EQ(Count(), 1);  // exactly 50 000 us survives
    EXPECT_EQ(CleanAt(At(10, 50001)), 0);
    EXPECT_EQ(Count(), 0);

    Add(At(10, 990000), 2, 0, {1});  // across a second boundary
    EXPECT_EQ(CleanAt(At(11, 40000)), 0);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(CleanAt(At(11, 40001)), 0);
    EXPECT_EQ(Count(), 0);

    Add(At(20, 0), 3, 0, {1});
    EXPECT_EQ(CleanAt(At(21, 0)), 0);  // one whole second
    EXPECT_EQ(Count(), 0);
}

TEST_F(Reassembly, AgeingKeepsExactlyTheRecentlyStamped) {
    // Records created 1 ms apart; some refreshed later by a new segment.
    std::vector<long> stamp(64);
    for (uint8_t i = 0; i < 64; ++i) {
        Add(At(100, i * 1000L), i, 0, {i});
        stamp[i] = i * 1000L;
    }
    for (uint8_t i : {uint8_t{0}, uint8_t{5}, uint8_t{31}}) {
        Add(At(100, 64000 + i), i, 1, {i});
        stamp[i] = 64000 + i;
    }
    const long now = 90000;
    EXPECT_EQ(CleanAt(At(100, now)), 0);
    std::set<unsigned> expected, kept;
    for (unsigned i = 0; i < 64; ++i)
        if (now - stamp[i] <= 50000) expected.insert(i);
    for (SegmentedFrame *f = lcmpSegmentedFramesList->first; f; f = f->next) kept.insert(f->sequenceLow);
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(Count(), expected.size());
}

TEST_F(Reassembly, StampAfterNowStopsTheWalkInCreationOrder) {
    Add(At(50, 0), 1, 0, {1});  // old: removed
    Add(At(52, 0), 2, 0, {2});  // after now: stops the walk
    Add(At(50, 0), 3, 0, {3});  // old, but after the stop
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(CleanAt(At(51, 0)), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: negative elapsed time!\n");
    ASSERT_EQ(Count(), 2);
    EXPECT_EQ(lcmpSegmentedFramesList->first->sequenceLow, 2);
    EXPECT_EQ(lcmpSegmentedFramesList->last->sequenceLow, 3);
    // Once the capture clock passes the stamp, all age normally.
    EXPECT_EQ(CleanAt(At(53, 0)), 0);
    EXPECT_EQ(Count(), 0);
}

TEST_F(Reassembly, ClockSteppingBackIsReportedOnceAndAgeingGoesOn) {
    Add(At(100, 0), 1, 0, {1});
    Add(At(100, 30000), 2, 0, {2});
    EXPECT_EQ(CleanAt(At(100, 30000)), 0);
    // The capture clock steps back by 20 ms, then runs on from there.
    ::testing::internal::CaptureStderr();
    Add(At(100, 10000), 3, 0, {3});
    EXPECT_EQ(CleanAt(At(100, 10000)), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(CleanAt(At(100, 20000)), 0);
    EXPECT_EQ(CleanAt(At(100, 50000)), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: negative elapsed time!\n");
    EXPECT_EQ(Count(), 3);
    // Record 1 keeps its stamp; record 2, stamped after the new time, counts
    // as stamped at it, like record 3.
    EXPECT_EQ(CleanAt(At(100, 50001)), 0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(CleanAt(At(100, 60000)), 0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(CleanAt(At(100, 60001)), 0);
    EXPECT_EQ(Count(), 0);
}

// The age chain's runs against a plain model: each held record's age stamp
// is its capture time, at least that of the record stamped before it, and
// set to now when it lies after now at an ageing pass.
TEST_F(Reassembly, AgeingMatchesAPlainModelUnderAWanderingClock) {
    std::vector<std::pair<uint8_t, long>> model;  // (sequence, age stamp) in stamping order
    std::map<uint8_t, uint8_t> nextSegment;
    std::mt19937 random(7);
    long now = 1000000;
    int steps = 0, reported = 0;
    ::testing::internal::CaptureStderr();
    for (int frame = 0; frame < 20000; ++frame) {
        const auto r = static_cast<unsigned>(random() % 100);
        now = r < 60 ? now + static_cast<long>(random() % 3000)
                     : r < 63 ? std::max(0L, now - static_cast<long>(random() % 80000)) : now;
        const auto seq = static_cast<uint8_t>(random() % 32);
        const auto held = std::find_if(model.begin(), model.end(), [&](const auto &m) { return m.first == seq; });
        if (r % 5 == 0 && held != model.end()) {  // completed: removed from amid the chain
            Extract(lcmp::SegmentedFrameOpen(lcmpSegmentedFramesList, seq, kSender, 0x161));
            model.erase(held);
            nextSegment.erase(seq);
        } else if (nextSegment[seq] < 16) {
            Add(At(now / 1000000, now % 1000000), seq, nextSegment[seq]++, {seq});
            if (held != model.end()) model.erase(held);
            model.emplace_back(seq, model.empty() ? now : std::max(now, model.back().second));
        }
        bool after = false;
        for (auto &m : model)
            if (m.second > now) m.second = now, after = true;
        std::erase_if(model, [&](const auto &m) { return now - m.second > 50000 && nextSegment.erase(m.first) >= 0; });
        steps += after;
        reported += CleanAt(At(now / 1000000, now % 1000000)) == LCMP_ERROR_BAD_ARGS;
        std::set<unsigned> kept, expected;
        for (const auto &m : model) expected.insert(m.first);
        for (SegmentedFrame *f = lcmpSegmentedFramesList->first; f; f = f->next) kept.insert(f->sequenceLow);
        if (kept != expected) {
            ADD_FAILURE() << "frame " << frame << ": the records held differ from the model";
            break;
        }
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(reported, steps);
    EXPECT_GT(steps, 100);
}

TEST_F(Reassembly, HeldBytesAreBoundedLeastRecentlyStampedFirstAndCounted) {
    LCMPReassemblyStats before{}, after{};
    EXPECT_EQ(LCMPReassemblyStatsGet(nullptr), LCMP_ERROR_BAD_ARGS);
    ASSERT_EQ(LCMPReassemblyStatsGet(&before), 0);
    // Full-size first segments from distinct senders, within 1 ms: ageing
    // drops none; unbounded they would hold about 6 MB.
    const std::vector<uint8_t> full(1492, 0xAB);
    constexpr unsigned kMessages = 4000;
    const auto sender = [](unsigned i) {
        std::array<uint8_t, 6> mac = kSender;
        mac[4] = static_cast<uint8_t>(i >> 8);
        mac[5] = static_cast<uint8_t>(i);
        return mac;
    };
    for (unsigned i = 0; i < kMessages; ++i) {
        Add(At(7, i / 4), 1, 0, full, sender(i));
        if (i == kMessages / 2) Add(At(7, i / 4), 1, 1, full, sender(0));  // message 0 stamped anew
    }
    EXPECT_LT(Count() * full.size(), LCMP_REASSEMBLY_BYTE_LIMIT);
    ASSERT_EQ(LCMPReassemblyStatsGet(&after), 0);
    EXPECT_LE(after.bytesHeld, LCMP_REASSEMBLY_BYTE_LIMIT);
    EXPECT_GT(after.bytesHeld, LCMP_REASSEMBLY_BYTE_LIMIT - 2 * full.size());
    EXPECT_EQ(after.messagesHeld, Count());
    EXPECT_EQ(after.droppedByByteLimit - before.droppedByByteLimit, kMessages - Count());
    EXPECT_EQ(after.droppedByAge, before.droppedByAge);
    // Message 0 survived the older ones; the others held are the latest.
    const SegmentedFrame *f = lcmpSegmentedFramesList->first;
    EXPECT_EQ(f->sourceMac[5], 0);
    EXPECT_EQ(f->segmentCount, 2);
    EXPECT_EQ(f->next->sourceMac[4] * 256 + f->next->sourceMac[5], kMessages - Count() + 1);

    EXPECT_EQ(CleanAt(At(8, 0)), 0);
    LCMPReassemblyStats aged{};
    ASSERT_EQ(LCMPReassemblyStatsGet(&aged), 0);
    EXPECT_EQ(aged.droppedByAge - after.droppedByAge, after.messagesHeld);
    EXPECT_EQ(aged.bytesHeld, 0u);
    EXPECT_EQ(aged.messagesHeld, 0u);
}

TEST_F(Reassembly, UnnormalisedStampsAgeByTheInstantTheyDenote) {
    Add(At(5, 1000000), 1, 0, {1});  // 6.0 s
    EXPECT_EQ(CleanAt(At(6, 50000)), 0);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(CleanAt(At(6, 50001)), 0);
    EXPECT_EQ(Count(), 0);
}

TEST_F(Reassembly, OutOfMemoryStoresNothing) {
    lcmp::testing::FailAllocation(1);  // the list
    EXPECT_EQ(Add(At(1, 0), 1, 0, {1}, kSender, 0x161, LCMP_ERROR_MALLOC), nullptr);
    EXPECT_EQ(lcmpSegmentedFramesList, nullptr);

    lcmp::testing::FailAllocation(2);  // the record
    EXPECT_EQ(Add(At(1, 0), 1, 0, {1}, kSender, 0x161, LCMP_ERROR_MALLOC), nullptr);
    EXPECT_EQ(Count(), 0);

    lcmp::testing::FailAllocation(2);  // the segment (one allocation with its bytes)
    SegmentedFrame *frame = Add(At(1, 0), 1, 0, {1}, kSender, 0x161, LCMP_ERROR_MALLOC);
    ASSERT_NE(frame, nullptr);  // an empty record stays until ageing
    EXPECT_EQ(frame->segmentCount, 0);
    lcmp::testing::FailAllocation(1);  // the segment again, for the record found
    EXPECT_EQ(Add(At(1, 0), 1, 0, {1}, kSender, 0x161, LCMP_ERROR_MALLOC), frame);
    EXPECT_EQ(frame->segments, nullptr);

    lcmp::testing::FailAllocation(0);
    Add(At(1, 0), 1, 0, {1});
    lcmp::testing::FailAllocation(1);  // the joined buffer: record dropped, nothing written
    uint16_t length = 5;
    lcmp::Buffer joined;
    EXPECT_EQ(lcmp::FrameExtract(lcmpSegmentedFramesList, frame, &length, &joined), LCMP_ERROR_MALLOC);
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(joined);
    EXPECT_EQ(Count(), 0);
}

TEST_F(Reassembly, ExtractOfNoRecordAndDestroy) {
    uint16_t length = 5;
    lcmp::Buffer untouched = lcmp::AllocateBuffer(1);
    uint8_t *before = untouched.get();
    EXPECT_EQ(lcmp::FrameExtract(nullptr, nullptr, &length, &untouched), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(untouched.get(), before);

    Add(At(1, 0), 1, 0, {1});
    Add(At(1, 0), 2, 3, {1, 2});
    EXPECT_EQ(lcmp::SegmentedFramesListDestroy(&lcmpSegmentedFramesList), 0);
    EXPECT_EQ(lcmpSegmentedFramesList, nullptr);
    EXPECT_EQ(lcmp::SegmentedFramesListDestroy(&lcmpSegmentedFramesList), 0);
}

}  // namespace
