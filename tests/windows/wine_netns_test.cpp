// The Windows build end to end under Wine: run by netns_wine.sh inside a
// network namespace of its own, with the Wine server started there and the
// native lcmp-device simulating 50 devices on the peer of the veth pair. The
// library opens the adapter through Wine's wpcap.dll, which lacks immediate
// mode and the capture direction: the fallbacks carry every exchange here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adapters.h"
#include "lcmp.h"
#include "platform.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kFirstDevice[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
constexpr uint8_t kSilent[6] = {0x02, 0x00, 0x00, 0x00, 0x09, 0x99};
constexpr int kDevices = 50;
// lcmp-device's built-in parameters 1, 4 and 5.
const Bytes kName{0x4C, 0x43, 0x4D, 0x50}, kFour{0x05, 0xDC}, kFive{0x01, 0x02, 0xA0};

// The adapter's friendly name (the Linux interface name under Wine).
const char *Adapter() { return std::getenv("LCMP_WINE_ADAPTER"); }

struct Entry {
    int32_t type;
    Bytes source, value;
};
struct Result {
    int32_t rc = 0;
    std::vector<Entry> entries;
};

Result Request(int32_t (*op)(LCMPValueList *, int32_t, const uint8_t *, LCMPValueList **), int32_t kind,
               const uint8_t *device, const std::vector<Bytes> &values) {
    LCMPValueList *request = nullptr, *result = nullptr;
    for (const Bytes &v : values) LCMPValueAdd(&request, static_cast<uint16_t>(v.size()), v.data());
    Result r;
    r.rc = op(request, kind, device, &result);
    for (const LCMPValue *v = result ? result->first : nullptr; v; v = v->next)
        r.entries.push_back({v->type, Bytes(v->sourceMac, v->sourceMac + 6), Bytes(v->value, v->value + v->length)});
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);
    return r;
}

Bytes Join(uint8_t id, const Bytes &value) {
    Bytes out(value.size() + 1, id);
    std::copy(value.begin(), value.end(), out.begin() + 1);
    return out;
}

std::mutex gMutex;
std::condition_variable gNotified;
std::vector<Entry> gNotifications;
void OnNotify(LCMPValueList *list) {
    std::lock_guard lock(gMutex);
    for (const LCMPValue *v = list ? list->first : nullptr; v; v = v->next)
        gNotifications.push_back({v->type, Bytes(v->sourceMac, v->sourceMac + 6), Bytes(v->value, v->value + v->length)});
    gNotified.notify_all();
}

class WineSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (Adapter() == nullptr) GTEST_SKIP() << "needs netns_wine.sh (a namespace, its Wine server, lcmp-device)";
    }
    void Open(const std::string &name, uint32_t ms, uint32_t attempts) {
        ASSERT_EQ(LCMPInit(name.c_str()), 0) << name;
        ASSERT_EQ(LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, ms, attempts), 0);
    }
    void TearDown() override {
        LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
        LCMPEnd();
    }
};

TEST_F(WineSession, AdapterOpensByEveryNameAndIsListedByBoth) {
    const std::string friendly = Adapter(), capture = lcmp::CaptureName(Adapter());
    ASSERT_EQ(capture.rfind("\\Device\\NPF_{", 0), 0u) << capture;
    const std::string guid = capture.substr(capture.find('{'));
    const auto names = lcmp::AdapterNames();
    const auto at = std::find(names.begin(), names.end(), capture);
    ASSERT_NE(at, names.end());
    ASSERT_NE(at + 1, names.end());
    EXPECT_EQ(*(at + 1), friendly) << "the friendly name follows the capture name";

    uint8_t byFriendly[6] = {}, byCapture[6] = {}, byGuid[6] = {};
    ASSERT_EQ(MacAddressGet(friendly.c_str(), byFriendly), 0);
    ASSERT_EQ(MacAddressGet(capture.c_str(), byCapture), 0);
    ASSERT_EQ(MacAddressGet(guid.c_str(), byGuid), 0);
    EXPECT_TRUE(std::equal(byFriendly, byFriendly + 6, byCapture) && std::equal(byFriendly, byFriendly + 6, byGuid));
    EXPECT_NE(Bytes(byFriendly, byFriendly + 6), Bytes(6, 0));

    for (const std::string &name : {friendly, capture, guid}) {
        Open(name, 1000, 2);
        const auto r = Request(LCMPRead, LCMP_DESTINATION_DEVICE, kFirstDevice, {{0x01}});
        ASSERT_EQ(r.rc, 0) << name;
        ASSERT_EQ(r.entries.size(), 1u) << name;
        EXPECT_EQ(r.entries[0].value, Join(0x01, kName));
        LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
        LCMPEnd();
    }
}

TEST_F(WineSession, ReadWriteControlAndSubscriptionReachTheDevice) {
    Open(Adapter(), 1000, 2);
    LCMPValueList *subscription = nullptr;
    const uint8_t notifyType = 0x05;
    LCMPFullValueAdd(&subscription, nullptr, 6, 1, &notifyType);
    ASSERT_EQ(LCMPNotify(subscription, LCMP_DESTINATION_DEVICE, kFirstDevice, OnNotify, 0), 0);
    LCMPValueListDestroy(subscription);

    auto r = Request(LCMPRead, LCMP_DESTINATION_DEVICE, kFirstDevice, {{0x01}, {0x99}, {0x05}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].value, Join(0x01, kName));
    EXPECT_EQ(r.entries[1].value, Join(0x05, kFive));
    EXPECT_EQ(r.entries[0].source, Bytes(kFirstDevice, kFirstDevice + 6));

    r = Request(LCMPWrite, LCMP_DESTINATION_DEVICE, kFirstDevice, {{0x05, 0xAA, 0xBB}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].value, (Bytes{0x01, 0x05}));
    {
        std::unique_lock lock(gMutex);
        ASSERT_TRUE(gNotified.wait_for(lock, 3s, [] { return !gNotifications.empty(); }));
        EXPECT_EQ(gNotifications[0].value, (Bytes{0x05, 0xAA, 0xBB}));
    }
    r = Request(LCMPRead, LCMP_DESTINATION_DEVICE, kFirstDevice, {{0x05}});
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].value, (Bytes{0x05, 0xAA, 0xBB}));
    r = Request(LCMPControl, LCMP_DESTINATION_DEVICE, kFirstDevice, {{0x07, 0x01}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].value, (Bytes{0x00, 0x07}));
}

// Every device answers a group read in four segments: 200 frames arrive in
// a burst and are joined into 50 messages.
TEST_F(WineSession, GroupReadOfFourSegmentAnswersSilentDeviceAndSessionEnd) {
    Open(Adapter(), 1500, 1);
    // 800 entries of 6 bytes (record header, identifier, value): 4 803 bytes
    // with the lead, four segments of at most 1 492.
    std::vector<Bytes> ids(800, Bytes{0x04});
    auto r = Request(LCMPRead, LCMP_DESTINATION_MULTICAST, nullptr, ids);
    ASSERT_EQ(r.rc, 0);
    std::set<Bytes> sources;
    std::size_t wrong = 0;
    for (const auto &e : r.entries) {
        sources.insert(e.source);
        wrong += e.value != Join(0x04, kFour);
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(r.entries.size(), ids.size() * kDevices);
    EXPECT_EQ(sources.size(), static_cast<std::size_t>(kDevices));
    LCMPReassemblyStats stats{};
    ASSERT_EQ(LCMPReassemblyStatsGet(&stats), 0);
    EXPECT_EQ(stats.droppedByAge + stats.droppedByByteLimit, 0u) << "no segment of the burst went missing";

    ASSERT_EQ(LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 100, 2), 0);
    const auto before = Clock::now();
    r = Request(LCMPRead, LCMP_DESTINATION_DEVICE, kSilent, {{0x01}});
    EXPECT_EQ(r.rc, LCMP_ERROR_TIMEOUT);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_GE(Clock::now() - before, 200ms) << "two attempts of 100 ms";

    // LCMPEnd ends a request waiting for a silent device at once.
    ASSERT_EQ(LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 60000, 1), 0);
    Clock::time_point returned{};
    std::thread caller([&] {
        r = Request(LCMPRead, LCMP_DESTINATION_DEVICE, kSilent, {{0x01}});
        returned = Clock::now();
    });
    std::this_thread::sleep_for(300ms);
    const auto ending = Clock::now();
    LCMPEnd();
    caller.join();
    EXPECT_EQ(r.rc, LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_LT(returned - ending, 5s);
}

}  // namespace
