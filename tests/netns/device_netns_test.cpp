// lcmp-device end to end: the simulator runs on lcmp0 as a child process;
// the library's session on lcmp1 sends the requests (LCMPPacketSend, or the
// frame builder on a raw socket for requests of several segments) and gets
// the answers through its callbacks, reassembled by its receive path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <algorithm>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "device_soak.h"
#include "netns_support.h"
#include "transaction.h"

namespace {

using namespace lcmptest;
using namespace std::chrono_literals;

constexpr Mac kFirstDevice{0x02, 0x00, 0x00, 0x00, 0x01, 0x01};

// lcmp-device as a child process, its standard error collected.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], 2);
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            std::vector<char *> argv{const_cast<char *>(LCMP_DEVICE_PATH)};
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(LCMP_DEVICE_PATH, argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        fd_ = pipeFds[0];
    }
    ~Simulator() {
        if (pid_ > 0) Stop();
        if (fd_ >= 0) close(fd_);
    }
    // Reads standard error until `text` appears or the child closes it.
    bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (err_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) return false;
            err_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Exit status (-1 when killed by a signal), after SIGTERM unless it ended.
    int Stop() {
        kill(pid_, SIGTERM);
        WaitFor("\xff", 5s);  // everything until it closes standard error
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &Err() const { return err_; }
    // Resident size in kB, from /proc.
    long ResidentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string err_;
};

struct Answer {
    int opcode;
    Bytes source, records;
};

std::mutex gMutex;
std::condition_variable gArrived;
std::vector<Answer> gAnswers;

template <int Opcode>
int Collect(const uint8_t *source, const uint8_t *records, int length, CallbackData *) {
    std::lock_guard lock(gMutex);
    gAnswers.push_back({Opcode, Bytes(source, source + 6), Bytes(records, records + length)});
    gArrived.notify_all();
    return 0;
}

// Waits until `n` answers arrived (or the timeout passed) and takes them.
std::vector<Answer> Take(std::size_t n, std::chrono::milliseconds timeout = 3s) {
    std::unique_lock lock(gMutex);
    gArrived.wait_for(lock, timeout, [&] { return gAnswers.size() >= n; });
    return std::exchange(gAnswers, {});
}

Bytes Record(uint8_t type, const Bytes &value) {
    Bytes r{type, static_cast<uint8_t>(value.size()), static_cast<uint8_t>(value.size() >> 8)};
    r.insert(r.end(), value.begin(), value.end());
    return r;
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Mac6(const Mac &m) { return Bytes(m.begin(), m.end()); }
Mac Device(int n) {
    Mac m = kFirstDevice;
    m[5] = static_cast<uint8_t>(m[5] + n);
    return m;
}

class DeviceOnVeth : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
        own_ = SysfsMac(kPeer);
        ASSERT_EQ(LCMPInit(kPeer), 0);
        const LCMPCallBackFunction collectors[] = {Collect<353>, Collect<355>, Collect<357>, Collect<358>,
                                                   Collect<359>};
        const int opcodes[] = {353, 355, 357, 358, 359};
        for (int i = 0; i < 5; ++i) ASSERT_NE(LCMPCallBackInstall(collectors[i], opcodes[i], nullptr), nullptr);
        Take(0, 0ms);
    }
    void TearDown() override { LCMPEnd(); }

    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", kLocal});
        device_ = std::make_unique<Simulator>(std::move(args));
        ASSERT_TRUE(device_->WaitFor("lcmp-device: listening on")) << device_->Err();
    }
    // A request message in the shape of its opcode, lengths least significant byte first.
    Bytes Message(int opcode, const Bytes &records) const {
        Bytes m;
        m.reserve(10 + records.size());  // also keeps g++ 12 from a false array-bounds warning on the inserts
        m.push_back(0x05);
        if (opcode != LCMP_NOTIFY_IND) m.insert(m.end(), own_.begin(), own_.end());
        m.push_back(static_cast<uint8_t>(records.size()));
        m.push_back(static_cast<uint8_t>(records.size() >> 8));
        if (opcode == LCMP_NOTIFY_IND) m.push_back(0);
        m.insert(m.end(), records.begin(), records.end());
        return m;
    }
    void Send(const Mac &to, int opcode, const Bytes &records) {
        const Bytes m = Message(opcode, records);
        testing::internal::CaptureStderr();  // "sending packet size"
        ASSERT_EQ(LCMPPacketSend(to.data(), opcode, static_cast<uint16_t>(m.size()), m.data(), nullptr), 0);
        testing::internal::GetCapturedStderr();
    }
    // Through the frame builder on a raw socket: any length, any sequence
    // number, any source address.
    void SendFrames(const Mac &to, int opcode, const Bytes &records, uint16_t sequence,
                    std::optional<Mac> source = std::nullopt) {
        uint8_t scratch[lcmp::kMaxFrameSize];
        const Bytes m = Message(opcode, records);
        ASSERT_EQ(lcmp::MessageFramesBuild(
                      to, source.value_or(own_), static_cast<uint16_t>(opcode), sequence, m, scratch,
                      [](std::span<const uint8_t> f, void *port) {
                          return static_cast<RawPort *>(port)->Send(Bytes(f.begin(), f.end())) ? 0 : -1;
                      },
                      &raw_),
                  0);
    }

    Mac own_{};
    RawPort raw_{kPeer};
    std::unique_ptr<Simulator> device_;
};

TEST_F(DeviceOnVeth, OneDeviceReadsWritesControlsAndNotifiesItsSubscriber) {
    Start({});
    const Mac device = kFirstDevice;

    // A read with an unknown identifier and a sequence number above 255.
    SendFrames(device, LCMP_READ_REQ, Join({Record(2, {0x01}), Record(2, {0x99}), Record(2, {0x05})}), 0xBEEF);
    auto got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].opcode, 353);
    EXPECT_EQ(got[0].source, Mac6(device));
    EXPECT_EQ(got[0].records, Join({Record(0, {0x01, 0x4C, 0x43, 0x4D, 0x50}), Record(0, {0x05, 0x01, 0x02, 0xA0})}));
    std::optional<Bytes> frame;
    while ((frame = raw_.Receive(0x22E3, 1s)) && Bytes(frame->begin() + 6, frame->begin() + 12) != Mac6(device)) {
    }
    ASSERT_TRUE(frame);
    EXPECT_EQ(Bytes(frame->begin(), frame->begin() + 6), Mac6(own_));
    EXPECT_EQ((*frame)[19] | (*frame)[20] << 8, 0xBEEF) << "the answer carries the request's sequence number";

    // A subscription, then a write: the confirmation and the notification.
    Send(device, LCMP_NOTIFY_IND, Join({Record(6, {0x05}), Record(6, {0x07})}));
    got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].opcode, 359);
    EXPECT_EQ(got[0].records, Record(8, {0x05, 0x07}));
    Send(device, LCMP_WRITE_REQ, Join({Record(0, {0x05, 0xAA, 0xBB}), Record(0, {0x42, 0x01})}));
    got = Take(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].opcode, 355);
    EXPECT_EQ(got[0].records, Record(1, {0x02, 0x05, 0x42}));
    EXPECT_EQ(got[1].opcode, 358);
    EXPECT_EQ(got[1].source, Mac6(device));
    EXPECT_EQ(got[1].records, Join({Record(6, {0x05, 0xAA, 0xBB}), Record(6, {0x42, 0x01})}));

    // Read back; a control; a read of only unknown identifiers.
    Send(device, LCMP_READ_REQ, Join({Record(2, {0x42}), Record(2, {0x05})}));
    Send(device, LCMP_CONTROL_REQ, Join({Record(3, {0x07, 0x01}), Record(3, {0x02})}));
    Send(device, LCMP_READ_REQ, Record(2, {0x77}));
    got = Take(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].records, Join({Record(0, {0x42, 0x01}), Record(0, {0x05, 0xAA, 0xBB})}));
    EXPECT_EQ(got[1].opcode, 357);
    EXPECT_EQ(got[1].records, Record(5, {0x00, 0x07, 0x02}));
    EXPECT_EQ(got[2].opcode, 353);
    EXPECT_TRUE(got[2].records.empty());

    EXPECT_EQ(device_->Stop(), 0);
    EXPECT_NE(device_->Err().find("answered 3 read, 1 write, 1 control, 1 subscription"), std::string::npos)
        << device_->Err();
}

TEST_F(DeviceOnVeth, GroupReadIsAnsweredByEveryDeviceFromItsOwnCopy) {
    Start({"-n", "050"});  // decimal, whatever the leading zero
    EXPECT_NE(device_->Err().find(", 50 device(s)"), std::string::npos) << device_->Err();
    Send(Device(7), LCMP_WRITE_REQ, Record(0, {0x02, 0x77, 0x77}));
    ASSERT_EQ(Take(1).size(), 1u);
    Send(Mac{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96}, LCMP_READ_REQ, Record(2, {0x02}));
    const auto got = Take(50);
    ASSERT_EQ(got.size(), 50u);
    std::set<Bytes> sources;
    for (const auto &a : got) {
        sources.insert(a.source);
        const bool written = a.source == Mac6(Device(7));
        EXPECT_EQ(a.records, Record(0, written ? Bytes{0x02, 0x77, 0x77} : Bytes{0x02, 0x01, 0x00}));
    }
    std::set<Bytes> expected;
    for (int i = 0; i < 50; ++i) expected.insert(Mac6(Device(i)));
    EXPECT_EQ(sources, expected);
    Send(Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, LCMP_CONTROL_REQ, Record(3, {0x01}));
    EXPECT_EQ(Take(50).size(), 50u);
    EXPECT_TRUE(Take(51, 100ms).empty()) << "one answer per device";
}

TEST_F(DeviceOnVeth, RequestsAndAnswersTravelInSegments) {
    Start({});
    // A write of four 1 200-byte values: a request of 4 segments.
    Bytes write, read;
    std::vector<Bytes> values;
    for (uint8_t id = 0x20; id < 0x24; ++id) {
        values.push_back(Bytes(1201, id));
        write = Join({write, Record(0, values.back())});
        read = Join({read, Record(2, {id})});
    }
    ASSERT_EQ(Message(LCMP_WRITE_REQ, write).size() / lcmp::kMaxPayload, 3u);
    SendFrames(kFirstDevice, LCMP_WRITE_REQ, write, 0x0401);
    auto got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].records, Record(1, {0x04, 0x20, 0x21, 0x22, 0x23}));

    // Read back: an answer of 4 segments, reassembled by the session.
    Send(kFirstDevice, LCMP_READ_REQ, read);
    got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].records, Join({Record(0, values[0]), Record(0, values[1]), Record(0, values[2]),
                                    Record(0, values[3])}));

    // 20 such records overflow 16 segments: as many whole ones as fit (19).
    Bytes many;
    for (int i = 0; i < 5; ++i) many = Join({many, read});
    Send(kFirstDevice, LCMP_READ_REQ, many);
    got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].records.size(), 19u * (3 + 1201));

    // A request missing one of its segments is never answered.
    uint8_t scratch[lcmp::kMaxFrameSize];
    int sent = 0;
    struct Context {
        RawPort *port;
        int *sent;
    } context{&raw_, &sent};
    ASSERT_EQ(lcmp::MessageFramesBuild(kFirstDevice, own_, LCMP_WRITE_REQ, 0x0502, Message(LCMP_WRITE_REQ, write),
                                       scratch,
                                       [](std::span<const uint8_t> f, void *c) {
                                           auto *ctx = static_cast<Context *>(c);
                                           if ((*ctx->sent)++ == 2) return 0;  // lose the third segment
                                           return ctx->port->Send(Bytes(f.begin(), f.end())) ? 0 : -1;
                                       },
                                       &context),
              0);
    EXPECT_TRUE(Take(1, 300ms).empty());
}

TEST_F(DeviceOnVeth, SubscribersAreBoundedAndASubscriptionWithoutTypesEndsOne) {
    Start({});
    // Ten subscribers from made-up addresses, then this adapter: the device
    // keeps the newest eight.
    for (uint8_t i = 0; i < 10; ++i)
        SendFrames(kFirstDevice, LCMP_NOTIFY_IND, Record(6, {0x05}), i, Mac{0x02, 0xAA, 0, 0, 0, i});
    Send(kFirstDevice, LCMP_NOTIFY_IND, Record(6, {0x05}));
    ASSERT_EQ(Take(1).size(), 1u);  // our notify response
    const auto notified = [&] {  // the destinations of the notifications one write causes
        while (raw_.Receive(0x22E3, 50ms)) {
        }
        Send(kFirstDevice, LCMP_WRITE_REQ, Record(0, {0x05, 0x01}));
        std::set<Bytes> to;
        while (auto frame = raw_.Receive(0x22E3, 300ms))
            if (((*frame)[16] << 4 | (*frame)[15] >> 4) == LCMP_NOTIFY_IND)
                to.insert(Bytes(frame->begin(), frame->begin() + 6));
        return to;
    };
    std::set<Bytes> expected{Mac6(own_)};
    for (uint8_t i = 3; i < 10; ++i) expected.insert({0x02, 0xAA, 0, 0, 0, i});
    EXPECT_EQ(notified(), expected);

    // A subscription naming no notify type ends ours: answered, no more notifications.
    Take(0, 0ms);
    Send(kFirstDevice, LCMP_NOTIFY_IND, {});
    auto got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].records, Record(8, {0x00}));
    expected.erase(Mac6(own_));
    EXPECT_EQ(notified(), expected);
    EXPECT_EQ(device_->Stop(), 0);
    EXPECT_NE(device_->Err().find("12 subscription request(s); 15 notification(s)"), std::string::npos)
        << device_->Err();
}

TEST_F(DeviceOnVeth, GroupWritesShareTheirValuesAndAWriteChangesOnlyItsDevice) {
    Start({"-n", "2000"});
    const Mac multicast{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
    const long before = device_->ResidentKb();
    // Three 20 000-byte values written to every device: 120 MB if copied per device.
    for (uint8_t id = 0x30; id < 0x33; ++id) {
        SendFrames(multicast, LCMP_WRITE_REQ, Record(0, Join({{id}, Bytes(20000, id)})), id);
        ASSERT_EQ(Take(2000, 10s).size(), 2000u);
    }
    const long grown = device_->ResidentKb() - before;
    EXPECT_LT(grown, 30000) << "kB grown over three group writes";

    // A shared value is replaced only at the device written to.
    Send(multicast, LCMP_WRITE_REQ, Record(0, {0x31, 0xAA}));
    ASSERT_EQ(Take(2000, 10s).size(), 2000u);
    Send(Device(3), LCMP_WRITE_REQ, Record(0, {0x31, 0xBB}));
    ASSERT_EQ(Take(1).size(), 1u);
    Send(Device(3), LCMP_READ_REQ, Record(2, {0x31}));
    Send(Device(4), LCMP_READ_REQ, Record(2, {0x31}));
    const auto got = Take(2);
    ASSERT_EQ(got.size(), 2u);
    for (const auto &a : got)
        EXPECT_EQ(a.records, Record(0, {0x31, a.source == Mac6(Device(3)) ? uint8_t{0xBB} : uint8_t{0xAA}}));
}

TEST_F(DeviceOnVeth, FlakyLinkLosesDuplicatesAndDelaysAnswersReproducibly) {
    // Per read: 0 answers (lost), 2 (duplicated), 1 after 400 ms (late) or 1 at once.
    const auto run = [&](const char *seed) {
        Start({"--loss", "20", "--duplicate", "15", "--late", "15:400", "--seed", seed});
        while (raw_.Receive(0x22E3, 20ms)) {
        }
        const auto sent = std::chrono::steady_clock::now();
        for (uint16_t i = 0; i < 100; ++i) SendFrames(kFirstDevice, LCMP_READ_REQ, Record(2, {0x04}), i);
        std::vector<std::string> fates(100);
        while (auto frame = raw_.Receive(0x22E3, 500ms)) {
            if (Bytes(frame->begin() + 6, frame->begin() + 12) != Mac6(kFirstDevice)) continue;
            const auto after = std::chrono::steady_clock::now() - sent;
            const int sequence = (*frame)[19] | (*frame)[20] << 8;
            if (sequence >= 100) continue;
            std::string &fate = fates[sequence];
            if (after >= 390ms) fate += fate.empty() ? "late" : "+late";
            else if (after < 250ms) fate += fate.empty() ? "on time" : "+again";
            else fate += "?";
        }
        EXPECT_EQ(device_->Stop(), 0);
        std::map<std::string, int> count;
        for (auto &f : fates) ++count[f.empty() ? "lost" : f];
        const std::string summary = std::to_string(count["lost"]) + " lost, " + std::to_string(count["on time+again"]) +
                                    " duplicated, " + std::to_string(count["late"]) + " late (seed " + seed + ")";
        EXPECT_NE(device_->Err().find(summary), std::string::npos) << device_->Err();
        EXPECT_EQ(count["lost"] + count["on time+again"] + count["late"] + count["on time"], 100) << "no other fate";
        EXPECT_GT(count["lost"], 0);
        EXPECT_GT(count["on time+again"], 0);
        EXPECT_GT(count["late"], 0);
        return fates;
    };
    const auto first = run("7");
    EXPECT_EQ(run("7"), first) << "the same seed, the same fates";
    EXPECT_NE(run("8"), first);
}

TEST_F(DeviceOnVeth, DropEveryIgnoresEveryNthRequest) {
    Start({"--drop-every", "3"});
    std::vector<bool> answered;
    for (int i = 0; i < 6; ++i) {
        Send(kFirstDevice, LCMP_READ_REQ, Record(2, {0x04}));
        answered.push_back(!Take(1, 300ms).empty());
    }
    EXPECT_EQ(answered, (std::vector<bool>{true, true, false, true, true, false}));
    EXPECT_EQ(device_->Stop(), 0);
    EXPECT_NE(device_->Err().find("2 request(s) dropped"), std::string::npos) << device_->Err();
}

// ---- Device mode: the library's request operations against the simulator ----

const std::vector<Bytes> kTable{{}, {0x4C, 0x43, 0x4D, 0x50}, {0x01, 0x00}, {0, 0, 0, 0}, {0x05, 0xDC},
                                {0x01, 0x02, 0xA0}, {0x00}, {0xDE, 0xAD, 0xBE, 0xEF},
                                {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

struct Result {
    int32_t rc = 0;
    std::vector<Answer> entries;  // opcode: the entry's record type
};

Result Request(int32_t (*op)(LCMPValueList *, int32_t, const uint8_t *, LCMPValueList **), int32_t kind,
               const Mac *device, const std::vector<Bytes> &values) {
    LCMPValueList *request = nullptr, *result = nullptr;
    for (const Bytes &v : values) LCMPValueAdd(&request, static_cast<uint16_t>(v.size()), v.data());
    Result r;
    r.rc = op(request, kind, device ? device->data() : nullptr, &result);
    for (const LCMPValue *v = result ? result->first : nullptr; v; v = v->next)
        r.entries.push_back({v->type, Bytes(v->sourceMac, v->sourceMac + 6), Bytes(v->value, v->value + v->length)});
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);
    return r;
}

std::mutex gNotifyMutex;
std::condition_variable gNotified;
std::vector<Answer> gNotifications;
void OnNotify(LCMPValueList *list) {
    std::lock_guard lock(gNotifyMutex);
    for (const LCMPValue *v = list ? list->first : nullptr; v; v = v->next)
        gNotifications.push_back({v->type, Bytes(v->sourceMac, v->sourceMac + 6), Bytes(v->value, v->value + v->length)});
    gNotified.notify_all();
}

class DeviceModeOnVeth : public DeviceOnVeth {
protected:
    void Mode(uint32_t ms, uint32_t attempts) { ASSERT_EQ(LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, ms, attempts), 0); }
    void TearDown() override {
        LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
        DeviceOnVeth::TearDown();
    }
};

TEST_F(DeviceModeOnVeth, ReadWriteControlAndSubscriptionReachTheDevice) {
    Start({});
    Mode(1000, 2);
    const Mac device = kFirstDevice;
    auto r = Request(LCMPRead, 0, &device, {{0x01}, {0x99}, {0x05}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].records, Join({{0x01}, kTable[1]}));
    EXPECT_EQ(r.entries[1].records, Join({{0x05}, kTable[5]}));
    EXPECT_EQ(r.entries[0].source, Mac6(device));
    EXPECT_EQ(r.entries[0].opcode, 0);

    LCMPValueList *subscription = nullptr;
    const uint8_t notifyType = 0x05;
    LCMPFullValueAdd(&subscription, nullptr, 6, 1, &notifyType);
    ASSERT_EQ(LCMPNotify(subscription, 0, device.data(), OnNotify, 0), 0);
    LCMPValueListDestroy(subscription);
    r = Request(LCMPWrite, 0, &device, {{0x05, 0xAA, 0xBB}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].opcode, 1);
    EXPECT_EQ(r.entries[0].records, (Bytes{0x01, 0x05}));
    {
        std::unique_lock lock(gNotifyMutex);
        ASSERT_TRUE(gNotified.wait_for(lock, 3s, [] { return !gNotifications.empty(); }));
        EXPECT_EQ(gNotifications[0].records, (Bytes{0x05, 0xAA, 0xBB}));
        EXPECT_EQ(gNotifications[0].source, Mac6(device));
    }
    r = Request(LCMPRead, 0, &device, {{0x05}});
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].records, (Bytes{0x05, 0xAA, 0xBB}));
    r = Request(LCMPControl, 0, &device, {{0x07, 0x01}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].records, (Bytes{0x00, 0x07}));

    // Every answer also reached the callbacks of its opcode, once.
    std::vector<int> opcodes;
    for (const auto &a : Take(6)) opcodes.push_back(a.opcode);
    std::sort(opcodes.begin(), opcodes.end());
    EXPECT_EQ(opcodes, (std::vector<int>{353, 353, 355, 357, 358, 359}));
    EXPECT_TRUE(Take(1, 100ms).empty());
}

TEST_F(DeviceModeOnVeth, GroupOfFiftySilentAddressAndSessionEnd) {
    Start({"-n", "50"});
    Mode(300, 1);
    auto r = Request(LCMPRead, LCMP_DESTINATION_MULTICAST, nullptr, {{0x04}});
    ASSERT_EQ(r.rc, 0);
    std::set<Bytes> sources;
    for (const auto &e : r.entries) {
        sources.insert(e.source);
        EXPECT_EQ(e.records, Join({{0x04}, kTable[4]}));
    }
    EXPECT_EQ(r.entries.size(), 50u);
    EXPECT_EQ(sources.size(), 50u);

    const Mac silent{0x02, 0x00, 0x00, 0x00, 0x09, 0x99};
    Mode(100, 2);
    const uint16_t before = lcmp::lcmpOpcodeNumSeq[0].load();
    r = Request(LCMPRead, 0, &silent, {{0x01}});
    EXPECT_EQ(r.rc, LCMP_ERROR_TIMEOUT);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_EQ(static_cast<uint16_t>(lcmp::lcmpOpcodeNumSeq[0].load() - before), 2);

    // LCMPEnd ends a request waiting for a silent device at once.
    Mode(60000, 1);
    std::thread caller([&] { r = Request(LCMPRead, 0, &silent, {{0x01}}); });
    while (lcmp::gOutstandingRequests.load() == 0) std::this_thread::yield();
    LCMPEnd();
    caller.join();
    EXPECT_EQ(r.rc, LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(Request(LCMPRead, 0, &silent, {{0x01}}).rc, LCMP_ERROR_SOCKET_NOT_OPENED);
}

TEST_F(DeviceModeOnVeth, DroppedRequestIsAnsweredOnTheSecondAttempt) {
    Start({"--drop-every", "2"});
    Mode(200, 3);
    const Mac device = kFirstDevice;
    ASSERT_EQ(Request(LCMPRead, 0, &device, {{0x02}}).rc, 0);  // request 1: answered
    const uint16_t before = lcmp::lcmpOpcodeNumSeq[0].load();
    const auto r = Request(LCMPRead, 0, &device, {{0x02}});    // request 2 dropped, 3 answered
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].records, Join({{0x02}, kTable[2]}));
    EXPECT_EQ(static_cast<uint16_t>(lcmp::lcmpOpcodeNumSeq[0].load() - before), 2);
}

// A device slower than the attempt's timeout: each read is answered for its
// first attempt while the second waits, and the answer to the second comes
// while the next read waits. Each read returns its own parameter.
TEST_F(DeviceModeOnVeth, SlowDeviceAnswersNeverCompleteTheNextRead) {
    Start({"--delay-us", "150000"});
    Mode(100, 3);
    const Mac device = kFirstDevice;
    LCMPDeviceStats before{}, after{};
    ASSERT_EQ(LCMPDeviceStatsGet(&before), 0);
    for (const uint8_t id : std::initializer_list<uint8_t>{0x01, 0x04, 0x07, 0x02, 0x05, 0x08}) {
        const auto r = Request(LCMPRead, 0, &device, {{id}});
        ASSERT_EQ(r.rc, 0) << int{id};
        ASSERT_EQ(r.entries.size(), 1u) << int{id};
        EXPECT_EQ(r.entries[0].records, Join({{id}, kTable[id]})) << "read " << int{id};
    }
    std::this_thread::sleep_for(200ms);  // the last read's second answer
    ASSERT_EQ(LCMPDeviceStatsGet(&after), 0);
    EXPECT_EQ(after.answersTaken - before.answersTaken, 6u);
    EXPECT_GE(after.droppedLate - before.droppedLate, 5u);
}

// Two programs on one adapter each see the other's answers. Reading
// different parameters from a slow device at the same time, each prints only
// the answer to its own request.
TEST_F(DeviceOnVeth, TwoProgramsReadingAtOnceEachPrintTheirOwnAnswer) {
    Start({"--delay-us", "150000"});
    const auto lower = [](std::string t) {
        for (char &c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const auto hex = [](const Bytes &b) {
        std::string t;
        char two[3];
        for (const uint8_t x : b) t += (std::snprintf(two, sizeof two, "%02x", x), two);
        return t;
    };
    for (int round = 0; round < 3; ++round) {
        std::vector<std::pair<FILE *, int>> runs;
        for (const int id : {1, 4}) {
            const std::string command = std::string(LCMP_CTL_PATH) + " -i " + kPeer + " -t 100 -a 3 read " +
                                        "02:00:00:00:01:01 0" + std::to_string(id) + " 2>/dev/null";
            runs.emplace_back(popen(command.c_str(), "r"), id);
            ASSERT_NE(runs.back().first, nullptr);
        }
        for (auto &[pipe, id] : runs) {
            std::string out;
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
            EXPECT_EQ(pclose(pipe), 0) << out;
            EXPECT_EQ(lower(out), "02:00:00:00:01:01 0" + std::to_string(id) + " " +
                                      hex(kTable[static_cast<std::size_t>(id)]) + "\n");
        }
    }
}

// A discovery of 20 000 devices lists every one: the receive thread keeps up
// with the answers.
TEST_F(DeviceModeOnVeth, TwentyThousandDevicesAnswerABroadcast) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer slows the receive thread below the answers' pace; the other builds run it";
#endif
    Start({"-n", "20000"});
    Mode(3000, 1);
    const auto r = Request(LCMPRead, LCMP_DESTINATION_BROADCAST, nullptr, {{0x04}});
    ASSERT_EQ(r.rc, 0);
    std::set<Bytes> sources;
    for (const auto &e : r.entries) sources.insert(e.source);
    EXPECT_EQ(r.entries.size(), 20000u);
    EXPECT_EQ(sources.size(), 20000u);
}

// A device-mode request from a callback, on the receive thread that would
// have to deliver its answer, is refused at once.
std::atomic<int32_t> gNestedResult{1};
int NestedRead(const uint8_t *, const uint8_t *, int, CallbackData *) {
    const Mac device = kFirstDevice;
    if (gNestedResult.load() == 1) gNestedResult = Request(LCMPRead, 0, &device, {{0x02}}).rc;
    return 0;
}

TEST_F(DeviceModeOnVeth, RequestFromACallbackIsRefusedAtOnce) {
    Start({});
    Mode(300, 2);
    ASSERT_NE(LCMPCallBackInstall(NestedRead, LCMP_READ_CNF, nullptr), nullptr);
    const Mac device = kFirstDevice;
    const auto r = Request(LCMPRead, 0, &device, {{0x01}});
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 1u);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (gNestedResult.load() == 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(gNestedResult.load(), LCMP_ERROR_BAD_ARGS);
}

TEST_F(DeviceModeOnVeth, TenThousandParameterRead) {
    Start({});
    Mode(2000, 2);
    const Mac device = kFirstDevice;
    std::vector<Bytes> ids;
    for (int i = 0; i < 10000; ++i) ids.push_back({static_cast<uint8_t>(1 + i % 8)});
    const auto r = Request(LCMPRead, 0, &device, ids);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.entries.size(), 10000u);
    for (std::size_t i = 0; i < r.entries.size(); ++i)
        ASSERT_EQ(r.entries[i].records, Join({ids[i], kTable[ids[i][0]]})) << i;
}

// 8 threads against 8 devices on a flaky link (20% of the requests lost, 10%
// of the answers sent twice, 10% later than the attempt's timeout), with a
// second process (lcmp-ctl) reading the same devices: every call gets its
// own request's answer or a timeout. The longer run is a benchmark row.
TEST_F(DeviceModeOnVeth, FlakyLinkSoakGivesNoCallAnotherRequestsAnswer) {
    Start({"-n", "8", "--loss", "20", "--duplicate", "10", "--late", "10:60", "--seed", std::to_string(getpid())});
    const SoakResult r = DeviceSoak({.adapter = kPeer, .ctl = LCMP_CTL_PATH, .duration = 3s, .timeoutMs = 40});
    std::string examples;
    for (const auto &e : r.examples) examples += e + "\n";
    EXPECT_EQ(r.wrong, 0u) << examples;
    EXPECT_EQ(r.ctlWrong, 0u) << examples;
    EXPECT_EQ(r.failed, 0u);
    EXPECT_GT(r.answered, 0u);
    EXPECT_GT(r.timeouts, 0u) << "the link lost no request";
    EXPECT_GT(r.ctlAnswered, 0u) << r.ctlRuns << " lcmp-ctl runs, " << r.ctlTimeouts << " timed out";
    EXPECT_EQ(device_->Stop(), 0);
    std::printf("%lu calls (%lu answered, %lu timed out), %lu lcmp-ctl reads (%lu answered); %s", r.calls, r.answered,
                r.timeouts, r.ctlRuns, r.ctlAnswered, device_->Err().substr(device_->Err().rfind("; ") + 2).c_str());
}

// Needs no root: the file is read before any adapter is opened.
TEST(DeviceParameters, BadLinesStopTheToolWithFileAndLine) {
    const std::string path = testing::TempDir() + "lcmp_device_params_" + std::to_string(getpid()) + ".txt";
    const struct {
        const char *text, *reason;
    } cases[] = {
        {"# comment\n\n01 0A\n02\n", ":4: expected an identifier and a value"},
        {"01 0A  # fine\n1 0A\n", ":2: identifier '1' is not two hex digits"},
        {"G1 0A\n", ":1: identifier 'G1' is not two hex digits"},
        {"01 ABC\n", ":1: value 'ABC' is not hex bytes"},
        {"01 0A:\n", ":1: value '0A:' is not hex bytes"},
        {"01 0B::0C\n", ":1: value '0B::0C' is not hex bytes"},
        {"01 :0B\n", ":1: value ':0B' is not hex bytes"},
        {"01 0A\n\n01 0B\n", ":3: identifier 01 already defined on line 1"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(std::ofstream(path) << c.text) << path;
        Simulator tool({"-i", "lcmp-no-such-adapter", "-p", path});
        tool.WaitFor("\xff", 5s);
        EXPECT_EQ(tool.Stop(), 2) << c.text;
        EXPECT_EQ(tool.Err().rfind(path + c.reason, 0), 0u) << tool.Err();
        EXPECT_EQ(tool.Err().find("lcmp-no-such-adapter"), std::string::npos) << "the adapter is not opened";
    }
    // Numbers are decimal with nothing around them; the shares of the flaky
    // link add up to at most 100.
    const std::vector<std::vector<std::string>> badOptions{
        {"-n", "0x10"}, {"-n", " 5"},         {"-n", "+5"},         {"--notify-ms", "1e3"}, {"--loss", "101"},
        {"--late", "10"}, {"--late", "10:"}, {"--late", ":300"}, {"--late", "10:300:"}, {"--seed", "-1"},
        {"--loss", "60", "--late", "50:10"}};
    for (auto args : badOptions) {
        args.insert(args.begin(), {"-i", "lcmp-no-such-adapter"});
        Simulator tool(args);
        tool.WaitFor("\xff", 5s);
        EXPECT_EQ(tool.Stop(), 2) << args[2] << " " << args[3] << ": " << tool.Err();
        EXPECT_NE(tool.Err().find("usage: lcmp-device"), std::string::npos) << tool.Err();
    }

    // A good file gets as far as the adapter.
    ASSERT_TRUE(std::ofstream(path) << "# id value\n05 0102A0\n\n08 00112233  # comment\n");
    Simulator tool({"-i", "lcmp-no-such-adapter", "-p", path});
    tool.WaitFor("\xff", 5s);
    EXPECT_EQ(tool.Stop(), 1);
    EXPECT_NE(tool.Err().find("cannot capture on lcmp-no-such-adapter"), std::string::npos) << tool.Err();
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    return lcmptest::NamespaceMain(argc, argv, [](int n, char **args) {
        ::testing::InitGoogleTest(&n, args);
        return RUN_ALL_TESTS();
    });
}
