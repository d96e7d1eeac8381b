// Link header and frame codec, and the per-frame receive path down to the
// installed callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <pcap.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "reassembly.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::array<uint8_t, 6> kOwn{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr std::array<uint8_t, 6> kSender{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr std::array<uint8_t, 6> kOtherSender{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};

struct Wire {
    uint16_t opcode = 0x161;
    uint8_t last = 0, segment = 0;
    uint16_t sequence = 0;
    std::array<uint8_t, 6> source = kSender;
    uint16_t ethertype = 0x22E3;
    int lengthField = -1;  // -1: the payload's own length
};

// A frame written byte by byte, independent of the library's encoder.
Bytes Frame(const Bytes &payload, const Wire &w = {}) {
    const std::size_t len = w.lengthField < 0 ? payload.size() : static_cast<std::size_t>(w.lengthField);
    Bytes f;
    f.reserve(22 + payload.size());
    for (uint8_t b : kOwn) f.push_back(b);
    for (uint8_t b : w.source) f.push_back(b);
    f.push_back(static_cast<uint8_t>(w.ethertype >> 8));
    f.push_back(static_cast<uint8_t>(w.ethertype));
    f.push_back(static_cast<uint8_t>(len));
    f.push_back(static_cast<uint8_t>(((len >> 8) & 0x0F) | ((w.opcode & 0x0F) << 4)));
    f.push_back(static_cast<uint8_t>(w.opcode >> 4));
    f.push_back(0);
    f.push_back(static_cast<uint8_t>(w.last | (w.segment << 4)));
    f.push_back(static_cast<uint8_t>(w.sequence));
    f.push_back(static_cast<uint8_t>(w.sequence >> 8));
    f.push_back(0);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A confirmation message (lead byte, record-area length, records).
Bytes Confirmation(const Bytes &records) {
    const Bytes header{0x05, static_cast<uint8_t>(records.size()), static_cast<uint8_t>(records.size() >> 8)};
    Bytes m(header.size() + records.size());
    std::copy(header.begin(), header.end(), m.begin());
    std::copy(records.begin(), records.end(), m.begin() + static_cast<std::ptrdiff_t>(header.size()));
    return m;
}

TEST(LinkHeader, GoldenBytes) {
    std::array<uint8_t, 8> out{};
    lcmp::LCMPLinkHeader h;
    h.payloadLength = 26;
    h.opcode = 352;
    h.sequence = 0x0304;
    lcmp::LinkHeaderEncode(h, out);
    EXPECT_EQ(out, (std::array<uint8_t, 8>{0x1A, 0x00, 0x16, 0x00, 0x00, 0x04, 0x03, 0x00}));
    h.payloadLength = 0x123;
    h.opcode = 359;
    lcmp::LinkHeaderEncode(h, out);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0x23, 0x71, 0x16}));

    const Bytes in{0x23, 0x71, 0x16, 0x00, 0x12, 0x05, 0x01, 0x00};
    lcmp::ByteReader r(in);
    const auto d = lcmp::LinkHeaderDecode(r);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->payloadLength, 0x123);
    EXPECT_EQ(d->opcode, 0x167);
    EXPECT_EQ(d->lastSegment, 2);
    EXPECT_EQ(d->segmentNumber, 1);
    EXPECT_EQ(d->sequence, 0x0105);
    lcmp::ByteReader shortReader(std::span<const uint8_t>(in).first(7));
    EXPECT_FALSE(lcmp::LinkHeaderDecode(shortReader));
}

TEST(FrameBuild, HeaderThenPayloadWithoutPadding) {
    const Bytes payload(26, 0xEE);
    lcmp::LCMPLinkHeader h;
    h.payloadLength = 26;
    h.opcode = 352;
    h.sequence = 1;
    std::array<uint8_t, lcmp::kMaxFrameSize> out{};
    const std::size_t n = lcmp::FrameBuild(kSender, kOwn, h, payload, out);
    ASSERT_EQ(n, 48u);
    const Bytes expected{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01,
                         0x22, 0xE3, 0x1A, 0x00, 0x16, 0x00, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 22), expected);
    EXPECT_EQ(Bytes(out.begin() + 22, out.begin() + 48), payload);
}

// Frames a builder handed on, copied.
int32_t CollectFrame(std::span<const uint8_t> frame, void *out) {
    static_cast<std::vector<Bytes> *>(out)->emplace_back(frame.begin(), frame.end());
    return 0;
}

TEST(MessageFramesBuild, OneFrameOrSegmentsOfOneFramesPayload) {
    std::array<uint8_t, lcmp::kMaxFrameSize> scratch{};
    std::vector<Bytes> frames;
    const Bytes small{0x05, 0x00, 0x00};
    ASSERT_EQ(lcmp::MessageFramesBuild(kSender, kOwn, 0x161, 0x0203, small, scratch, CollectFrame, &frames), 0);
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01,
                   0x22, 0xE3, 0x03, 0x10, 0x16, 0x00, 0x00, 0x03, 0x02, 0x00, 0x05, 0x00, 0x00};
    EXPECT_EQ(frames[0], expected);

    // 3 000 bytes: segments of 1 492, 1 492 and 16 bytes, numbered 0..2 with
    // last-segment number 2 and one sequence number.
    Bytes large(3000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
    frames.clear();
    ASSERT_EQ(lcmp::MessageFramesBuild(kSender, kOwn, 0x160, 0x0104, large, scratch, CollectFrame, &frames), 0);
    ASSERT_EQ(frames.size(), 3u);
    const uint16_t lengths[] = {1492, 1492, 16};
    Bytes joined;
    for (uint8_t i = 0; i < 3; ++i) {
        const Bytes &f = frames[i];
        ASSERT_EQ(f.size(), 22u + lengths[i]);
        EXPECT_EQ(f[14] | ((f[15] & 0x0F) << 8), lengths[i]);
        EXPECT_EQ(f[15] >> 4, 0x0) << "opcode 0x160, low nibble";
        EXPECT_EQ(f[16], 0x16);
        EXPECT_EQ(f[18], static_cast<uint8_t>(2 | (i << 4))) << "last-segment 2, segment " << int(i);
        EXPECT_EQ(f[19], 0x04);
        EXPECT_EQ(f[20], 0x01);
        joined.insert(joined.end(), f.begin() + 22, f.end());
    }
    EXPECT_EQ(joined, large);

    // Sixteen full segments is the most a message can be.
    frames.clear();
    EXPECT_EQ(lcmp::MessageFramesBuild(kSender, kOwn, 0x160, 0, Bytes(16 * 1492), scratch, CollectFrame, &frames), 0);
    EXPECT_EQ(frames.size(), 16u);
    frames.clear();
    EXPECT_EQ(lcmp::MessageFramesBuild(kSender, kOwn, 0x160, 0, Bytes(16 * 1492 + 1), scratch, CollectFrame, &frames),
              LCMP_ERROR_BAD_ARGS);
    EXPECT_TRUE(frames.empty());
}

TEST(MessageFramesBuild, SegmentsInAnyOrderComeBackAsTheMessage) {
    struct Got {
        Bytes destination, source, payload;
        uint16_t opcode = 0, sequence = 0;
        int count = 0;
    } got;
    const auto sink = [](const lcmp::ReceivedMessage &m, void *context) {
        auto &g = *static_cast<Got *>(context);
        g = {Bytes(m.destination.begin(), m.destination.end()), Bytes(m.source.begin(), m.source.end()),
             Bytes(m.payload.begin(), m.payload.end()), m.opcode, m.sequence, g.count + 1};
    };
    Bytes message(5000);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i ^ (i >> 8));
    std::array<uint8_t, lcmp::kMaxFrameSize> scratch{};
    std::vector<Bytes> frames;
    ASSERT_EQ(lcmp::MessageFramesBuild(kOwn, kSender, 0x162, 0x0A0B, message, scratch, CollectFrame, &frames), 0);
    ASSERT_EQ(frames.size(), 4u);
    std::reverse(frames.begin(), frames.end());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(got.count, 0) << "nothing before the last missing segment";
        lcmp::HandleFrame(timeval{50, static_cast<long>(i)}, frames[i], sink, &got);
    }
    EXPECT_EQ(got.count, 1);
    EXPECT_EQ(got.payload, message);
    EXPECT_EQ(got.destination, Bytes(kOwn.begin(), kOwn.end()));
    EXPECT_EQ(got.source, Bytes(kSender.begin(), kSender.end()));
    EXPECT_EQ(got.opcode, 0x162);
    EXPECT_EQ(got.sequence, 0x0A0B);
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
}

TEST(FrameDecode, ChecksLengthEthertypeAndPayloadBounds) {
    EXPECT_FALSE(lcmp::FrameDecode(Frame({}))) << "22 bytes carry nothing";
    EXPECT_TRUE(lcmp::FrameDecode(Frame({0x05})));
    EXPECT_FALSE(lcmp::FrameDecode(Frame({0x05}, {.ethertype = 0x0800})));
    EXPECT_FALSE(lcmp::FrameDecode(Frame({0x05}, {.lengthField = 2})));

    Bytes padded = Frame({0x05, 0, 0}, {.lengthField = 3});
    padded.resize(60, 0xFF);
    padded[17] = 0xFF;  // reserved bytes 3 and 7 of the link header
    padded[21] = 0xFF;
    const auto d = lcmp::FrameDecode(padded);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->payload.size(), 3u);
    EXPECT_EQ(d->payload.data(), padded.data() + 22);
    EXPECT_EQ(d->header.lastSegment, 0);
    EXPECT_EQ(Bytes(d->source.begin(), d->source.end()), Bytes(kSender.begin(), kSender.end()));
}

struct Delivery {
    Bytes mac, records;
    const uint8_t *where;
};
std::vector<Delivery> gDeliveries;

int Collect(const uint8_t *mac, const uint8_t *records, int length, CallbackData *) {
    gDeliveries.push_back({Bytes(mac, mac + 6), Bytes(records, records + length), records});
    return 0;
}

// Frames through HandleFrame to a callback installed for opcode 0x161.
class ReceivePath : public ::testing::Test {
protected:
    void SetUp() override {
        gDeliveries.clear();
        data_ = CallbackDataCreate(nullptr, 0, 0, nullptr);
        ASSERT_NE(data_, nullptr);
        entry_ = LCMPCallBackInstall(Collect, 0x161, data_);
        ASSERT_NE(entry_, nullptr);
    }
    void TearDown() override {
        LCMPCallBackUninstall(entry_);
        CallbackDataDestroy(data_);
        lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    }
    static void Feed(long micro, const Bytes &frame) { lcmp::HandleFrame(timeval{1000, micro}, frame); }
    static uint16_t Partial() {
        return lcmp::lcmpSegmentedFramesList ? lcmp::lcmpSegmentedFramesList->count : 0;
    }

    CallbackData *data_ = nullptr;
    CallbackEntry *entry_ = nullptr;
};

TEST_F(ReceivePath, UnsegmentedMessageIsDispatchedOnceInPlace) {
    const Bytes frame = Frame(Confirmation({0x00, 0x02, 0x00, 0x07, 0x08}));
    Feed(0, frame);
    ASSERT_EQ(gDeliveries.size(), 1u);
    EXPECT_EQ(gDeliveries[0].mac, Bytes(kSender.begin(), kSender.end()));
    EXPECT_EQ(gDeliveries[0].records, (Bytes{0x00, 0x02, 0x00, 0x07, 0x08}));
    EXPECT_EQ(gDeliveries[0].where, frame.data() + 22 + 3) << "no copy of an unsegmented payload";
    EXPECT_EQ(lcmp::lastPacketTimestamp.tv_sec, 1000);
}

TEST_F(ReceivePath, SegmentedMessageIsDispatchedOnceWhenComplete) {
    const Bytes message = Confirmation({0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04});
    const Bytes s0(message.begin(), message.begin() + 4), s1(message.begin() + 4, message.begin() + 7),
        s2(message.begin() + 7, message.end());
    Feed(0, Frame(s2, {.last = 2, .segment = 2, .sequence = 0x0105}));
    Feed(10, Frame(s0, {.last = 2, .segment = 0, .sequence = 0x0205}));  // high byte not in the key
    EXPECT_TRUE(gDeliveries.empty());
    Feed(20, Frame(s1, {.last = 2, .segment = 1, .sequence = 0x0105}));
    ASSERT_EQ(gDeliveries.size(), 1u);
    EXPECT_EQ(gDeliveries[0].records, (Bytes{0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(Partial(), 0);
    Feed(30, Frame(s1, {.last = 2, .segment = 1, .sequence = 0x0105}));
    EXPECT_EQ(gDeliveries.size(), 1u) << "a late copy starts a new record";
    EXPECT_EQ(Partial(), 1);
}

TEST_F(ReceivePath, SameSequenceFromOtherSenderOrOpcodeIsAnotherMessage) {
    const Bytes message = Confirmation({0x00, 0x01, 0x00, 0x09});
    const Bytes head(message.begin(), message.begin() + 2), tail(message.begin() + 2, message.end());
    Feed(0, Frame(head, {.last = 1, .sequence = 9}));
    Feed(1, Frame(tail, {.last = 1, .segment = 1, .sequence = 9, .source = kOtherSender}));
    Feed(2, Frame(tail, {.opcode = 0x163, .last = 1, .segment = 1, .sequence = 9}));
    EXPECT_TRUE(gDeliveries.empty());
    EXPECT_EQ(Partial(), 3);
    Feed(3, Frame(tail, {.last = 1, .segment = 1, .sequence = 9}));
    ASSERT_EQ(gDeliveries.size(), 1u);
    EXPECT_EQ(gDeliveries[0].mac, Bytes(kSender.begin(), kSender.end()));
}

TEST_F(ReceivePath, FramesThatFailTheChecksAreNotDispatched) {
    Feed(0, Frame(Confirmation({0x00, 0x00, 0x00}), {.ethertype = 0x0800}));
    Bytes overlong = Frame(Confirmation({0x00, 0x00, 0x00}), {.lengthField = 7});
    Feed(1, overlong);  // announces one byte more than was captured
    EXPECT_TRUE(gDeliveries.empty());
}

TEST_F(ReceivePath, AgeingRunsForEveryCapturedFrame) {
    const Bytes message = Confirmation({0x00, 0x01, 0x00, 0x09});
    const Bytes head(message.begin(), message.begin() + 2), tail(message.begin() + 2, message.end());

    // A late segment never joins, even with no frame in between: ageing runs
    // before the frame is handled. At exactly 50 000 us it still joins.
    Feed(0, Frame(head, {.last = 1, .sequence = 1}));
    Feed(50001, Frame(tail, {.last = 1, .segment = 1, .sequence = 1}));
    EXPECT_TRUE(gDeliveries.empty());
    EXPECT_EQ(Partial(), 1);
    Feed(100001, Frame(head, {.last = 1, .sequence = 1}));
    EXPECT_EQ(gDeliveries.size(), 1u);
    EXPECT_EQ(Partial(), 0);

    // Any captured frame ages, a 22-byte one included; the late segment then starts anew.
    Feed(100000, Frame(head, {.last = 1, .sequence = 2}));
    Feed(150000, Frame({}));
    EXPECT_EQ(Partial(), 1);
    Feed(150001, Frame({}));
    EXPECT_EQ(Partial(), 0);
    EXPECT_EQ(lcmp::lastPacketTimestamp.tv_usec, 150001);
    Feed(150002, Frame(tail, {.last = 1, .segment = 1, .sequence = 2}));
    EXPECT_EQ(gDeliveries.size(), 1u);
    EXPECT_EQ(Partial(), 1);
}

TEST_F(ReceivePath, SavefileReplayUsesRecordedTimesPast2038) {
    if (!lcmptest::kSecondsPast2038) GTEST_SKIP() << "capture times have 32-bit seconds here";
    char path[] = "/tmp/lcmp_replay_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 1514);
    pcap_dumper_t *dump = pcap_dump_open(dead, path);
    ASSERT_NE(dump, nullptr);
    const auto write = [&](int64_t sec, int64_t usec, const Bytes &frame) {
        pcap_pkthdr h{};
        h.ts = lcmptest::TimeAt(sec, usec);
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dump), &h, frame.data());
    };
    const Bytes message = Confirmation({0x00, 0x01, 0x00, 0x09});
    const Bytes head(message.begin(), message.begin() + 2), tail(message.begin() + 2, message.end());
    // 40 000 us apart across the 32-bit second boundary: joined.
    write(2147483647LL, 990000, Frame(tail, {.last = 1, .segment = 1, .sequence = 1}));
    write(2147483648LL, 30000, Frame(head, {.last = 1, .sequence = 1}));
    // A frame 50 001 us after the first segment ages it out.
    write(2147483650LL, 0, Frame(head, {.last = 1, .sequence = 2}));
    write(2147483650LL, 50001, Frame({}));
    write(2147483650LL, 50002, Frame(tail, {.last = 1, .segment = 1, .sequence = 2}));
    write(2147483651LL, 0, Frame(Confirmation({0x00, 0x00, 0x00})));
    pcap_dump_close(dump);
    pcap_close(dead);

    EXPECT_EQ(lcmp::ReplaySavefile(path), 0);
    std::remove(path);
    ASSERT_EQ(gDeliveries.size(), 2u);
    EXPECT_EQ(gDeliveries[0].records, (Bytes{0x00, 0x01, 0x00, 0x09}));
    EXPECT_EQ(gDeliveries[1].records, (Bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(lcmp::lcmpSegmentedFramesList, nullptr) << "left-over partial messages are dropped";
    EXPECT_EQ(lcmp::ReplaySavefile("/nonexistent/file.pcap"), -1);
}

}  // namespace
