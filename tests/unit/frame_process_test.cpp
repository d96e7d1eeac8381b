// LCMPFrameProcess: the receive path for hosts that capture or replay frames
// themselves, and what it reports about each frame.
#include <gtest/gtest.h>

#include "reassembly.h"
#include "registry.h"
#include "test_support.h"

using lcmptest::Bytes;

namespace {

Bytes Frame(uint16_t payloadLength, uint8_t segmentByte, const Bytes &payload, uint16_t ethertype = 0x22E3) {
    Bytes f = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, static_cast<uint8_t>(ethertype >> 8),
               static_cast<uint8_t>(ethertype & 0xFF)};
    // opcode 0x161, sequence 0x0007
    const Bytes link = {static_cast<uint8_t>(payloadLength & 0xFF),
                        static_cast<uint8_t>(((payloadLength >> 8) & 0x0F) | 0x10), 0x16, 0, segmentByte, 7, 0, 0};
    f.insert(f.end(), link.begin(), link.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

int32_t Process(const Bytes &f, int32_t micro = 0) {
    return LCMPFrameProcess(f.data(), static_cast<uint32_t>(f.size()), 1000, micro);
}

int gDelivered = 0;

TEST(FrameProcess, ReportsWhatEachFrameAmountedTo) {
    lcmp::CallbackListDestroyAll();
    testing::internal::CaptureStdout();
    LCMPCallBackInstall([](const uint8_t *, const uint8_t *, int, CallbackData *) { return ++gDelivered; },
                        LCMP_READ_CNF, nullptr);
    testing::internal::GetCapturedStdout();
    const Bytes message = {0x05, 0x04, 0x00, 0x00, 0x01, 0x00, 0x2A};

    EXPECT_EQ(Process(Frame(7, 0, message)), LCMP_FRAME_DISPATCHED);
    EXPECT_EQ(gDelivered, 1);
    // two segments, the second one first
    EXPECT_EQ(Process(Frame(4, 0x11, {0x00, 0x01, 0x00, 0x2A})), LCMP_FRAME_HELD);
    EXPECT_EQ(Process(Frame(3, 0x01, {0x05, 0x04, 0x00}), 10), LCMP_FRAME_DISPATCHED);
    EXPECT_EQ(gDelivered, 2);

    EXPECT_EQ(Process(Frame(7, 0, message, 0x0800)), LCMP_FRAME_IGNORED);
    EXPECT_EQ(Process(Bytes(22, 0)), LCMP_FRAME_IGNORED);
    EXPECT_EQ(Process(Frame(200, 0, message)), LCMP_ERROR_DROP_PACKET);
    EXPECT_EQ(LCMPFrameProcess(nullptr, 30, 0, 0), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(gDelivered, 2);
    lcmp::CallbackListDestroyAll();
}

}  // namespace

namespace {

// A callback that feeds another segmented message while the first one's
// joined bytes are being dispatched: the callbacks after it still see the
// first message intact.
std::vector<Bytes> gAreas;
int gNested = 0;

TEST(FrameProcess, SegmentedMessageFedFromInsideADispatchKeepsBothIntact) {
    lcmp::CallbackListDestroyAll();
    gAreas.clear();
    testing::internal::CaptureStdout();
    LCMPCallBackInstall(
        [](const uint8_t *, const uint8_t *, int, CallbackData *) {
            if (gNested++ == 0) {
                // second message: 05 02 00 | 07 07, in two segments
                EXPECT_EQ(Process(Frame(3, 0x01, {0x05, 0x02, 0x00}), 20), LCMP_FRAME_HELD);
                EXPECT_EQ(Process(Frame(2, 0x11, {0x07, 0x07}), 21), LCMP_FRAME_DISPATCHED);
            }
            return 0;
        },
        LCMP_READ_CNF, nullptr);
    LCMPCallBackInstall(
        [](const uint8_t *, const uint8_t *records, int length, CallbackData *) {
            gAreas.emplace_back(records, records + length);
            return 0;
        },
        LCMP_READ_CNF, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Process(Frame(3, 0x01, {0x05, 0x03, 0x00}), 10), LCMP_FRAME_HELD);
    EXPECT_EQ(Process(Frame(3, 0x11, {0xAA, 0xBB, 0xCC}), 11), LCMP_FRAME_DISPATCHED);
    ASSERT_EQ(gAreas.size(), 2u);
    EXPECT_EQ(gAreas[0], (Bytes{0x07, 0x07}));        // the nested message, delivered first
    EXPECT_EQ(gAreas[1], (Bytes{0xAA, 0xBB, 0xCC}));  // the outer one, after it
    lcmp::CallbackListDestroyAll();
}

}  // namespace

namespace {

// Keys (sender, opcode, low byte of the sequence number) are reused: every
// run of a sending tool starts at sequence 0, and devices answer with the
// request's number. Message A loses its segment 1; message B, same key,
// follows: only B is delivered, whole, with its segments in either order.
std::vector<Bytes> gMessages;

TEST(FrameProcess, PartialMessageNeverJoinsALaterMessageOfTheSameKey) {
    lcmp::CallbackListDestroyAll();
    testing::internal::CaptureStdout();
    LCMPCallBackInstall(
        [](const uint8_t *, const uint8_t *records, int length, CallbackData *) {
            gMessages.emplace_back(records, records + length);
            return 0;
        },
        LCMP_READ_CNF, nullptr);
    testing::internal::GetCapturedStdout();
    const Bytes a0 = {0x05, 0x08, 0x00, 0x00, 0x01, 0x00, 0xA0};
    const Bytes b0 = {0x05, 0x08, 0x00, 0x00, 0x01, 0x00, 0xB0}, b1 = {0x00, 0x01, 0x00, 0xB1};
    const Bytes b = {0x00, 0x01, 0x00, 0xB0, 0x00, 0x01, 0x00, 0xB1};
    const auto feed = [](const Bytes &payload, uint8_t segmentByte, int64_t seconds, int32_t micro) {
        const Bytes f = Frame(static_cast<uint16_t>(payload.size()), segmentByte, payload);
        return LCMPFrameProcess(f.data(), static_cast<uint32_t>(f.size()), seconds, micro);
    };
    // B ten seconds later (the age limit long past), in order and reversed;
    // B 10 ms later, where its segment 0 has other bytes than A's.
    struct Case {
        int64_t seconds;
        int32_t micro;
        bool reversed;
    };
    int64_t at = 2000;
    for (const Case c : {Case{10, 0, false}, Case{10, 0, true}, Case{0, 10000, false}}) {
        gMessages.clear();
        at += 100;
        EXPECT_EQ(feed(a0, 0x01, at, 0), LCMP_FRAME_HELD);
        EXPECT_EQ(feed(c.reversed ? b1 : b0, c.reversed ? 0x11 : 0x01, at + c.seconds, c.micro), LCMP_FRAME_HELD);
        EXPECT_EQ(feed(c.reversed ? b0 : b1, c.reversed ? 0x01 : 0x11, at + c.seconds, c.micro + 10),
                  LCMP_FRAME_DISPATCHED);
        EXPECT_EQ(gMessages, std::vector<Bytes>{b}) << c.seconds << " s " << c.micro << " us later"
                                                    << (c.reversed ? ", reversed" : "");
    }
    LCMPReassemblyStats stats{};
    LCMPReassemblyStatsGet(&stats);
    EXPECT_EQ(stats.messagesHeld, 0u);
    lcmp::CallbackListDestroyAll();
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
}

}  // namespace
