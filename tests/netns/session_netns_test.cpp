// Sessions on real adapters: a veth pair in a namespace of the test's own.
// The library opens lcmp0; frames are injected and captured on lcmp1.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "adapters.h"
#include "netns_support.h"
#include "registry.h"

namespace {

using namespace lcmptest;
using namespace std::chrono_literals;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

struct Delivery {
    Bytes mac, bytes;
    int type = -1;
};

// Deliveries made on the receive thread, waited for on the test thread.
class Collector {
public:
    void Add(Delivery d) {
        std::lock_guard lock(mutex_);
        got_.push_back(std::move(d));
        cv_.notify_all();
    }
    bool WaitFor(std::size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 5s, [&] { return got_.size() >= n; });
    }
    std::vector<Delivery> Take() {
        std::lock_guard lock(mutex_);
        return std::move(got_);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Delivery> got_;
};
Collector gRecords, gNotified;

int OnRecords(const uint8_t *mac, const uint8_t *records, int length, CallbackData *) {
    gRecords.Add({Bytes(mac, mac + 6), Bytes(records, records + length)});
    return 0;
}
void OnNotify(LCMPValueList *list) {
    for (const LCMPValue *v = list ? list->first : nullptr; v; v = v->next)
        gNotified.Add({Bytes(v->sourceMac, v->sourceMac + 6), Bytes(v->value, v->value + v->length), v->type});
}

std::size_t ThreadCount() {
    std::size_t n = 0;
    DIR *d = opendir("/proc/self/task");
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

uint16_t Counter(int32_t opcode) { return lcmp::lcmpOpcodeNumSeq[static_cast<std::size_t>(opcode - 352)].load(); }

const Mac kSender{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

class OnVeth : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
        gRecords.Take();
        gNotified.Take();
        own_ = SysfsMac(kLocal);
        data_ = CallbackDataCreate(nullptr, 0, 0, nullptr);
        ASSERT_NE(data_, nullptr);
    }
    void TearDown() override {
        LCMPEnd();  // also removes every callback
        CallbackDataDestroy(data_);
    }
    void Open(const char *adapter = kLocal) {
        ASSERT_EQ(LCMPInit(adapter), 0);
        ASSERT_NE(LCMPCallBackInstall(OnRecords, 0x161, data_), nullptr);
    }
    // A frame from kSender to the library's adapter.
    Bytes ToUs(const Bytes &payload, FrameFields fields = {}) {
        fields.destination = own_;
        return LcmpFrame(fields, payload);
    }

    Mac own_{};
    CallbackData *data_ = nullptr;
    RawPort peer_{kPeer};
};

TEST_F(OnVeth, MessagesReachTheCallbackAndTheNotifySubscription) {
    Open();
    LCMPValueList *entries = nullptr;
    const uint8_t entry[] = {0x01};
    ASSERT_EQ(LCMPFullValueAdd(&entries, nullptr, 6, 1, entry), 0);
    ASSERT_EQ(LCMPNotify(entries, LCMP_DESTINATION_BROADCAST, nullptr, OnNotify, 0), 0);
    LCMPValueListDestroy(entries);

    ASSERT_TRUE(peer_.Send(ToUs(Confirmation({0x00, 0x02, 0x00, 0x07, 0x08}))));
    ASSERT_TRUE(gRecords.WaitFor(1));

    // Segments 2, 0, 1 of one confirmation.
    const Bytes message = Confirmation({0x00, 0x03, 0x00, 0x0A, 0x0B, 0x0C});
    const Bytes parts[3] = {Bytes(message.begin(), message.begin() + 2), Bytes(message.begin() + 2, message.begin() + 6),
                            Bytes(message.begin() + 6, message.end())};
    for (uint8_t s : {uint8_t{2}, uint8_t{0}, uint8_t{1}})
        ASSERT_TRUE(peer_.Send(ToUs(parts[s], {.lastSegment = 2, .segment = s, .sequence = 0x0307})));
    ASSERT_TRUE(gRecords.WaitFor(2));
    const auto got = gRecords.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, (Bytes{0x00, 0x02, 0x00, 0x07, 0x08}));
    EXPECT_EQ(got[0].mac, Bytes(kSender.begin(), kSender.end()));
    EXPECT_EQ(got[1].bytes, (Bytes{0x00, 0x03, 0x00, 0x0A, 0x0B, 0x0C}));

    // A notification in two segments, records of types 6 and 0: the
    // subscription keeps the type 6 record.
    const Bytes notification{0x05, 0x0A, 0x00, 0x00, 0x06, 0x02, 0x00, 0x11, 0x22, 0x00, 0x02, 0x00, 0x33, 0x44};
    ASSERT_TRUE(peer_.Send(ToUs(Bytes(notification.begin() + 7, notification.end()),
                                {.opcode = 0x166, .lastSegment = 1, .segment = 1, .sequence = 4})));
    ASSERT_TRUE(peer_.Send(ToUs(Bytes(notification.begin(), notification.begin() + 7),
                                {.opcode = 0x166, .lastSegment = 1, .segment = 0, .sequence = 4})));
    ASSERT_TRUE(gNotified.WaitFor(1));
    const auto notified = gNotified.Take();
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].type, 6);
    EXPECT_EQ(notified[0].bytes, (Bytes{0x11, 0x22}));
    EXPECT_EQ(notified[0].mac, Bytes(kSender.begin(), kSender.end()));
}

TEST_F(OnVeth, FramesOfOtherProtocolsOrForOtherAdaptersAreNotDelivered) {
    Open();
    ASSERT_TRUE(peer_.Send(ToUs(Confirmation({0x00, 0x00, 0x00}), {.ethertype = 0x88B5})));
    ASSERT_TRUE(peer_.Send(LcmpFrame({.destination = Mac{0x02, 0, 0, 0, 0, 0x99}}, Confirmation({0x00, 0x00, 0x00}))));
    ASSERT_TRUE(peer_.Send(ToUs(Confirmation({0x00, 0x01, 0x00, 0x42}))));  // marker
    ASSERT_TRUE(gRecords.WaitFor(1));
    std::this_thread::sleep_for(50ms);
    const auto got = gRecords.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x42}));
}

TEST_F(OnVeth, PartialMessagesAgeOnTheCaptureClock) {
    Open();
    const Bytes message = Confirmation({0x00, 0x01, 0x00, 0x09});
    const Bytes head(message.begin(), message.begin() + 3), tail(message.begin() + 3, message.end());

    // A frame captured more than 50 ms after the first segment ages it out.
    ASSERT_TRUE(peer_.Send(ToUs(head, {.lastSegment = 1, .sequence = 1})));
    std::this_thread::sleep_for(80ms);
    ASSERT_TRUE(peer_.Send(ToUs(Confirmation({0x00, 0x01, 0x00, 0x01}), {.sequence = 50})));
    ASSERT_TRUE(peer_.Send(ToUs(tail, {.lastSegment = 1, .segment = 1, .sequence = 1})));
    // With no frame in between, a late segment does not complete it either;
    // segments within the limit do.
    ASSERT_TRUE(peer_.Send(ToUs(head, {.lastSegment = 1, .sequence = 2})));
    std::this_thread::sleep_for(80ms);
    ASSERT_TRUE(peer_.Send(ToUs(tail, {.lastSegment = 1, .segment = 1, .sequence = 2})));
    ASSERT_TRUE(peer_.Send(ToUs(head, {.lastSegment = 1, .sequence = 3})));
    ASSERT_TRUE(peer_.Send(ToUs(tail, {.lastSegment = 1, .segment = 1, .sequence = 3})));

    ASSERT_TRUE(gRecords.WaitFor(2));
    std::this_thread::sleep_for(50ms);
    const auto got = gRecords.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(got[1].bytes, (Bytes{0x00, 0x01, 0x00, 0x09}));
}

TEST_F(OnVeth, EndStopsTheLoopAndDestroysTheRegistry) {
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    const std::size_t threads = ThreadCount();
    Open();
    EXPECT_EQ(ThreadCount(), threads + 1);
    EXPECT_EQ(LCMPInit(kLocal), LCMP_ERROR_BAD_ARGS) << "one session at a time";
    LCMPEnd();
    CaptureStderr();
    EXPECT_EQ(LCMPInit("any"), LCMP_ERROR_SOCKET_NOT_OPENED) << "no Ethernet header";
    EXPECT_EQ(GetCapturedStderr(), "\nUnable to open the adapter. any is not supported by WinPcap\n");
    EXPECT_EQ(ThreadCount(), threads);
    Open();
    ASSERT_EQ(LCMPNotify(nullptr, 0, nullptr, OnNotify, 0), 0);
    EXPECT_EQ(lcmp::RegistryCount(), 2);

    LCMPEnd();
    EXPECT_EQ(lcmp::RegistryCount(), 0);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(lcmp::fp, nullptr);
    const uint8_t payload[] = {0x05};
    EXPECT_EQ(LCMPPacketSend(own_.data(), 353, 1, payload, nullptr), LCMP_ERROR_SOCKET_NOT_OPENED);

    // A stop requested before the loop's first pass still ends it.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(LCMPInit(kLocal), 0);
        LCMPEnd();
        ASSERT_EQ(ThreadCount(), threads);
    }
}

// No capture opens on an adapter that is down: it is not listed, and a
// failed open can say why.
TEST_F(OnVeth, OnlyAdaptersThatAreUpAreListed) {
    ASSERT_TRUE(Shell("ip link add lcmpdown0 type veth peer name lcmpdown1"));
    const std::vector<std::string> names = lcmp::AdapterNames();
    EXPECT_NE(std::find(names.begin(), names.end(), kLocal), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "lcmpdown0"), names.end());
    EXPECT_TRUE(lcmp::AdapterDown("lcmpdown0"));
    EXPECT_FALSE(lcmp::AdapterDown(kLocal));
    EXPECT_FALSE(lcmp::AdapterDown("lcmp-none"));
    CaptureStderr();
    EXPECT_EQ(LCMPInit("lcmpdown0"), LCMP_ERROR_SOCKET_NOT_OPENED);
    GetCapturedStderr();
    Shell("ip link del lcmpdown0");
}

// A host learns that the receive loop ended under it: the adapter went away.
TEST_F(OnVeth, SessionStateTellsThatTheAdapterWentAway) {
    ASSERT_TRUE(Shell("ip link add lcmpgone0 type veth peer name lcmpgone1 && ip link set lcmpgone0 up && "
                      "ip link set lcmpgone1 up"));
    EXPECT_EQ(LCMPSessionState(), LCMP_SESSION_NONE);
    ASSERT_EQ(LCMPInit("lcmpgone0"), 0);
    EXPECT_EQ(LCMPSessionState(), LCMP_SESSION_RECEIVING);
    ASSERT_TRUE(Shell("ip link del lcmpgone0"));
    for (int i = 0; i < 300 && LCMPSessionState() == LCMP_SESSION_RECEIVING; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(LCMPSessionState(), LCMP_SESSION_ENDED);
    LCMPEnd();
    EXPECT_EQ(LCMPSessionState(), LCMP_SESSION_NONE);
}

// A callback that ends the session, and tries to open one, from the receive
// thread; the start hook injects its frame before LCMPInit has returned.
std::atomic<bool> gEnded{false};
std::atomic<int32_t> gInitInside{1}, gFedWhileStarting{1};
RawPort *gPeer = nullptr;
Bytes gFrame;
int EndFromCallback(const uint8_t *, const uint8_t *, int, CallbackData *) {
    LCMPEnd();
    gInitInside = LCMPInit(kLocal);
    gEnded = true;
    return 0;
}

TEST_F(OnVeth, CallbackEndsTheSessionEvenBeforeInitReturnsAndInitOpensAgain) {
    ASSERT_NE(LCMPCallBackInstall(EndFromCallback, 0x161, data_), nullptr);
    gPeer = &peer_;
    gFrame = ToUs(Confirmation({0x00, 0x01, 0x00, 0x01}));
    lcmp::testing::SetReceiveThreadStartHook([] {
        const Bytes other(60, 0);  // no LCMP frame: dispatched nowhere even if fed
        gFedWhileStarting = LCMPFrameProcess(other.data(), 60, 1, 0);
        gPeer->Send(gFrame);
        for (int i = 0; i < 300 && !gEnded; ++i) std::this_thread::sleep_for(10ms);
    });
    const int32_t opened = LCMPInit(kLocal);
    lcmp::testing::SetReceiveThreadStartHook(nullptr);
    ASSERT_EQ(opened, 0);
    EXPECT_TRUE(gEnded.load()) << "the callback's LCMPEnd waited for LCMPInit";
    for (int i = 0; i < 300 && LCMPSessionState() == LCMP_SESSION_RECEIVING; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(LCMPSessionState(), LCMP_SESSION_ENDED);
    EXPECT_EQ(gFedWhileStarting.load(), LCMP_ERROR_BAD_ARGS) << "a frame was fed beside the starting loop";
    EXPECT_EQ(gInitInside.load(), LCMP_ERROR_BAD_ARGS);

    // The stopped session is closed by the next LCMPInit, which opens anew.
    Open();
    ASSERT_TRUE(peer_.Send(ToUs(Confirmation({0x00, 0x01, 0x00, 0x02}))));
    ASSERT_TRUE(gRecords.WaitFor(1));
    EXPECT_EQ(gRecords.Take()[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x02}));
}

TEST_F(OnVeth, SentFramesMatchByteForByteWithSequencesPerOpcode) {
    Open();
    uint8_t mac[6] = {};
    ASSERT_EQ(MacAddressGet(kLocal, mac), 0);
    EXPECT_EQ(Bytes(mac, mac + 6), Bytes(own_.begin(), own_.end()));

    const Mac dest = SysfsMac(kPeer);
    const Bytes a(26, 0xA1), b{0x05, 0x00, 0x00}, c(lcmp::kMaxPayload, 0xC3);
    const uint16_t first354 = Counter(354), first352 = Counter(352);
    uint16_t s1 = 0, s2 = 0, s3 = 0;
    CaptureStderr();
    ASSERT_EQ(LCMPPacketSend(dest.data(), 354, static_cast<uint16_t>(a.size()), a.data(), &s1), 0);
    ASSERT_EQ(LCMPPacketSend(dest.data(), 352, static_cast<uint16_t>(b.size()), b.data(), &s2), 0);
    ASSERT_EQ(LCMPPacketSend(dest.data(), 354, static_cast<uint16_t>(c.size()), c.data(), &s3), 0);
    EXPECT_EQ(GetCapturedStderr(), "sending packet size 48\nsending packet size 25\nsending packet size 1514\n");
    EXPECT_EQ(s1, first354);
    EXPECT_EQ(s2, first352);
    EXPECT_EQ(s3, static_cast<uint16_t>(first354 + 1));

    const struct {
        uint16_t opcode, sequence;
        const Bytes &payload;
    } expected[] = {{354, s1, a}, {352, s2, b}, {354, s3, c}};
    for (const auto &e : expected) {
        const auto frame = peer_.Receive(0x22E3, 5s);
        ASSERT_TRUE(frame);
        EXPECT_EQ(*frame, LcmpFrame({.destination = dest, .source = own_, .opcode = e.opcode, .sequence = e.sequence},
                                    e.payload));
    }
}

TEST_F(OnVeth, ConcurrentSendsNeitherShareANumberNorOutliveTheHandle) {
    Open();
    const Mac dest = SysfsMac(kPeer);
    const uint8_t payload[] = {0x05, 0x00, 0x00};
    constexpr int kSenders = 3;
    std::vector<std::vector<uint16_t>> sent(kSenders);
    std::atomic<int> failures{0};
    std::atomic<bool> started{false};
    CaptureStderr();
    std::vector<std::thread> senders;
    for (auto &mine : sent)
        senders.emplace_back([&, out = &mine] {
            for (;;) {
                uint16_t seq = 0;
                const int32_t rc = LCMPPacketSend(dest.data(), 356, 3, payload, &seq);
                if (rc == LCMP_ERROR_SOCKET_NOT_OPENED) return;  // the session has closed
                if (rc != 0) ++failures;
                out->push_back(seq);
                started = true;
            }
        });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    LCMPEnd();  // closes the handle while the senders are busy
    for (auto &t : senders) t.join();
    GetCapturedStderr();
    EXPECT_EQ(failures.load(), 0);
    std::vector<uint16_t> all;
    for (const auto &v : sent) all.insert(all.end(), v.begin(), v.end());
    ASSERT_FALSE(all.empty());
    ASSERT_LT(all.size(), 65536u);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a sequence number was handed out twice";
}

TEST_F(OnVeth, FailedSendStillConsumesItsSequenceNumber) {
    Open();
    const Mac dest = SysfsMac(kPeer);
    const uint8_t payload[] = {0x05, 0x00, 0x00};
    ASSERT_TRUE(Shell(std::string("ip link set ") + kLocal + " down"));
    uint16_t failed = 0, next = 0;
    CaptureStderr();
    EXPECT_EQ(LCMPPacketSend(dest.data(), 357, 3, payload, &failed), LCMP_ERROR_SENDTO);
    EXPECT_EQ(GetCapturedStderr().rfind("\nError sending the packet: ", 0), 0u);
    ASSERT_TRUE(Shell(std::string("ip link set ") + kLocal + " up"));

    // The session still sends (its loop may have ended with the link).
    CaptureStderr();
    EXPECT_EQ(LCMPPacketSend(dest.data(), 357, 3, payload, &next), 0);
    GetCapturedStderr();
    EXPECT_EQ(next, static_cast<uint16_t>(failed + 1));
    const auto frame = peer_.Receive(0x22E3, 5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[19] | ((*frame)[20] << 8), next);
}

TEST_F(OnVeth, WithoutItsOwnAddressTheSessionFiltersOnTheEthertypeAlone) {
    // The loopback adapter has no Ethernet address.
    CaptureStderr();
    Open("lo");
    EXPECT_EQ(GetCapturedStderr(),
              "error retrieving the MAC address of the adapter!\n"
              "\nAddress of adapter lo unknown: receiving all frames of Ethertype 0x22E3\n");
    const uint8_t payload[] = {0x05, 0x00, 0x00};
    const uint16_t before = Counter(353);
    CaptureStderr();
    EXPECT_EQ(LCMPPacketSend(own_.data(), 353, 3, payload, nullptr), LCMP_ERROR_ETH_IF);
    GetCapturedStderr();
    EXPECT_EQ(Counter(353), static_cast<uint16_t>(before + 1));

    RawPort loopback("lo");
    const Mac broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(loopback.Send(LcmpFrame({.destination = broadcast, .ethertype = 0x0800}, Confirmation({0, 0, 0}))));
    ASSERT_TRUE(loopback.Send(LcmpFrame({.destination = broadcast}, Confirmation({0x00, 0x01, 0x00, 0x42}))));
    ASSERT_TRUE(gRecords.WaitFor(1));
    std::this_thread::sleep_for(50ms);
    const auto got = gRecords.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x42}));
}

}  // namespace

int main(int argc, char **argv) {
    return lcmptest::NamespaceMain(argc, argv, [](int n, char **args) {
        ::testing::InitGoogleTest(&n, args);
        return RUN_ALL_TESTS();
    });
}
