// Session and send paths that need no adapter: argument checks, the adapter
// address query's failures, and the sequence counters. Sessions on real
// adapters are covered by the namespace tests (tests/netns).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

uint16_t Counter(int32_t opcode) { return lcmp::lcmpOpcodeNumSeq[static_cast<std::size_t>(opcode - 352)].load(); }

TEST(Session, RefusesNamesThatCannotBeStoredWhole) {
    std::strcpy(lcmp::lcmpInterfaceName, "before");
    EXPECT_EQ(LCMPInit(nullptr), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPInit(std::string(100, 'e').c_str()), LCMP_ERROR_BAD_ARGS);
    EXPECT_STREQ(lcmp::lcmpInterfaceName, "before");
    EXPECT_EQ(lcmp::fp, nullptr);

    // 99 characters fit; no such adapter exists, so the open fails.
    const std::string longest(99, 'e');
    CaptureStderr();
    EXPECT_EQ(LCMPInit(longest.c_str()), LCMP_ERROR_SOCKET_NOT_OPENED);
    GetCapturedStderr();
    EXPECT_EQ(std::string(lcmp::lcmpInterfaceName), longest);
}

TEST(Session, UnknownAdapterIsReportedAndStartsNoThread) {
    CaptureStderr();
    EXPECT_EQ(LCMPInit("nosuch0"), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(GetCapturedStderr(), "\nUnable to open the adapter. nosuch0 is not supported by WinPcap\n");
    EXPECT_STREQ(lcmp::lcmpInterfaceName, "nosuch0");
    EXPECT_EQ(lcmp::fp, nullptr);
    EXPECT_FALSE(lcmp::ReceiveThreadActive());
    LCMPEnd();  // without a session: nothing to stop
    LCMPEnd();
    EXPECT_EQ(lcmp::fp, nullptr);
}

TEST(PacketSend, RefusesBadArgumentsAndMissingSessionWithoutUsingACounter) {
    const uint8_t dest[6] = {1, 2, 3, 4, 5, 6}, payload[1] = {5};
    uint16_t seq = 0xABCD;
    const uint16_t c352 = Counter(352), c359 = Counter(359);
    EXPECT_EQ(LCMPPacketSend(dest, 351, 1, payload, &seq), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPPacketSend(dest, 360, 1, payload, &seq), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPPacketSend(dest, 352, 1493, payload, &seq), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPPacketSend(nullptr, 352, 1, payload, &seq), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPPacketSend(dest, 352, 1, nullptr, &seq), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPPacketSend(dest, 352, 1, payload, &seq), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(LCMPPacketSend(dest, 359, 0, nullptr, &seq), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(seq, 0xABCD);
    EXPECT_EQ(Counter(352), c352);
    EXPECT_EQ(Counter(359), c359);
}

TEST(SequenceCounters, PerOpcodeWrappingAndNeverHandedOutTwice) {
    const uint16_t start354 = Counter(354), start352 = Counter(352);
    EXPECT_EQ(lcmp::SequenceNext(354), start354);
    EXPECT_EQ(lcmp::SequenceNext(352), start352);
    EXPECT_EQ(lcmp::SequenceNext(354), static_cast<uint16_t>(start354 + 1));
    for (int i = 0; i < 65536 - 2; ++i) lcmp::SequenceNext(354);
    EXPECT_EQ(Counter(354), start354) << "back where it began after 65 536 values";
    EXPECT_EQ(Counter(352), static_cast<uint16_t>(start352 + 1));

    constexpr int kThreads = 4, kEach = 10000;
    std::vector<std::vector<uint16_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (auto &g : got)
        threads.emplace_back([&g] {
            for (int i = 0; i < kEach; ++i) g.push_back(lcmp::SequenceNext(355));
        });
    for (auto &t : threads) t.join();
    std::vector<uint16_t> all;
    for (const auto &g : got) all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a sequence number was handed out twice";
}

TEST(MacAddressGet, FailuresAreReportedWithTheirMessages) {
    uint8_t mac[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    CaptureStderr();
    EXPECT_EQ(MacAddressGet("nosuch0", mac), -1);
    EXPECT_EQ(GetCapturedStderr(), "Unable to open the adapter nosuch0, error Code : 13\n");  // ENODEV
    CaptureStderr();
    EXPECT_EQ(MacAddressGet("sixteen-chars-xx", mac), -1);
    EXPECT_EQ(GetCapturedStderr(), "Unable to open the adapter sixteen-chars-xx, error Code : 13\n");

    // The loopback adapter exists but has no Ethernet address.
    CaptureStderr();
    EXPECT_EQ(MacAddressGet("lo", mac), -1);
    EXPECT_EQ(GetCapturedStderr(), "error retrieving the MAC address of the adapter!\n");
    lcmp::testing::FailAllocation(1);
    CaptureStderr();
    EXPECT_EQ(MacAddressGet("lo", mac), -1);
    EXPECT_EQ(GetCapturedStderr(), "error allocating memory!\n");
    lcmp::testing::FailAllocation(0);
    EXPECT_EQ(mac[0], 0xEE);
}

}  // namespace
