// Device mode's transactions against a fake link: no network. The fake's
// send numbers each message and hands it to a script, which answers through
// AnswerOffered as the receive thread would (at once, or later from a thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "LCMP_socket.h"
#include "registry.h"
#include "test_support.h"
#include "transaction.h"

using lcmptest::Bytes;
using lcmptest::Entries;
using lcmptest::ValueOf;

namespace {

using Mac = std::array<uint8_t, 6>;
const Mac kOwn{0x02, 0x00, 0x00, 0x00, 0x00, 0xAA};
const Mac kDevice{0x02, 0x00, 0x00, 0x00, 0x01, 0x01};

struct Sent {
    Mac destination;
    int32_t opcode;
    uint16_t sequence;
    Bytes message;
};

struct FakeLink {
    static inline std::mutex mutex;
    static inline std::vector<Sent> sent;
    static inline uint16_t next = 0xFFF0;  // wraps during the tests
    static inline std::function<void(const Sent &)> script;
    static inline std::atomic<int32_t> result{0};  // what the send returns after the script


    static int32_t Send(void *, const uint8_t *destination, int32_t opcode, std::span<const uint8_t> message,
                        std::atomic<int32_t> *sequence) {
        if (message.size() > lcmp::kMaxWireMessage) return LCMP_ERROR_BAD_ARGS;  // as the session's link
        Sent s{{}, opcode, 0, Bytes(message.begin(), message.end())};
        std::memcpy(s.destination.data(), destination, 6);
        {
            std::lock_guard lock(mutex);
            s.sequence = next++;
            sent.push_back(s);
        }
        sequence->store(s.sequence);
        if (script) script(s);
        return result.load();
    }
    static std::vector<Sent> Sends() {
        std::lock_guard lock(mutex);
        return sent;
    }
};

Bytes &operator+=(Bytes &a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes operator+(Bytes a, const Bytes &b) { return a += b; }

Bytes Record(uint8_t type, const Bytes &value) {
    Bytes r{type, static_cast<uint8_t>(value.size() & 0xFF), static_cast<uint8_t>(value.size() >> 8)};
    r.insert(r.end(), value.begin(), value.end());
    return r;
}

// A confirmation message, length least significant byte first.
Bytes Confirmation(const Bytes &records) {
    Bytes m{0x05, static_cast<uint8_t>(records.size() & 0xFF), static_cast<uint8_t>(records.size() >> 8)};
    m.insert(m.end(), records.begin(), records.end());
    return m;
}

bool Answer(const Mac &from, int32_t opcode, uint16_t sequence, const Bytes &message) {
    return lcmp::AnswerOffered(from.data(), opcode, sequence, message);
}

// The records of a sent request, read as a receiver reads them.
std::vector<lcmp::Record> RequestRecords(const Sent &s) {
    std::vector<lcmp::Record> out;
    const auto area = lcmp::RecordArea(s.opcode, s.message);
    if (area) lcmp::WalkRecords(*area, [&](const lcmp::Record &r) { out.push_back(r); });
    return out;
}

LCMPDeviceStats Stats() {
    LCMPDeviceStats s{};
    EXPECT_EQ(LCMPDeviceStatsGet(&s), 0);
    return s;
}

Mac DeviceNumber(int i) { return Mac{0x02, 0, 0, 0, static_cast<uint8_t>(1 + i / 256), static_cast<uint8_t>(i)}; }

class DeviceMode : public ::testing::Test {
protected:
    void SetUp() override {
        Mode(200, 1);
        FakeLink::sent.clear();
        FakeLink::script = nullptr;
        FakeLink::result = 0;
        lcmp::Link link;
        link.send = FakeLink::Send;
        std::memcpy(link.own, kOwn.data(), 6);
        link.ownKnown = true;
        lcmp::LinkInstall(link);
    }
    void TearDown() override {
        lcmp::LinkClear();
        FakeLink::script = nullptr;
        LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
        lcmp::NotifySubscriptionRelease();
        lcmp::CallbackListDestroyAll();
        EXPECT_EQ(lcmp::gOutstandingRequests.load(), 0u);
    }
    static void Mode(uint32_t ms, uint32_t attempts) {
        ASSERT_EQ(LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, ms, attempts), 0);
    }
};

TEST_F(DeviceMode, UnicastRequestsTakeTheFirstAnswerOfTheirDeviceWithItsAddress) {
    const Mac other{0x02, 0, 0, 0, 0x09, 0x09};
    FakeLink::script = [&](const Sent &s) {
        const Bytes records = Record(0, {0x01, 0x4C, 0x43}) + Record(5, {0x00, 0x01}) + Record(0, {}) +
                              Record(0, {0x07, 0xDE, 0xAD});
        // Another device's answer with the same number is not this request's.
        EXPECT_FALSE(Answer(other, s.opcode + 1, s.sequence, Confirmation(records)));
        EXPECT_TRUE(Answer(kDevice, s.opcode + 1, s.sequence, Confirmation(records)));
        // A second answer from the device is not collected again.
        Answer(kDevice, s.opcode + 1, s.sequence, Confirmation(records));
    };
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x01}, {0x07}});
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), result.location()), 0);
    const auto e = Entries(result.get());
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(ValueOf(e[0]), (Bytes{0x01, 0x4C, 0x43}));
    EXPECT_EQ(ValueOf(e[1]), (Bytes{0x07, 0xDE, 0xAD}));
    for (const LCMPValue *v : e) {
        EXPECT_EQ(v->type, 0);
        EXPECT_EQ(0, std::memcmp(v->sourceMac, kDevice.data(), 6));
    }
    // The request on the wire: own address at 1-6, length 8 least significant byte first.
    const auto sends = FakeLink::Sends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].destination, kDevice);
    EXPECT_EQ(sends[0].opcode, LCMP_READ_REQ);
    EXPECT_EQ(sends[0].message, (Bytes{0x05, 0x02, 0, 0, 0, 0, 0xAA, 0x08, 0x00, 2, 1, 0, 0x01, 2, 1, 0, 0x07}));

    // Write and control keep the records of their confirmation's type.
    FakeLink::script = [](const Sent &s) {
        Answer(kDevice, s.opcode + 1, s.sequence,
               Confirmation(Record(1, {0x01, 0x07}) + Record(5, {0x00, 0x07}) + Record(0, {0x07, 0x01})));
    };
    lcmp::ValueListHolder written, controlled;
    ASSERT_EQ(LCMPWrite(request.get(), 0, kDevice.data(), written.location()), 0);
    ASSERT_EQ(LCMPControl(request.get(), 0, kDevice.data(), controlled.location()), 0);
    ASSERT_EQ(written.get()->count, 1);
    EXPECT_EQ(written.get()->first->type, 1);
    ASSERT_EQ(controlled.get()->count, 1);
    EXPECT_EQ(ValueOf(controlled.get()->first), (Bytes{0x00, 0x07}));
    EXPECT_EQ(RequestRecords(FakeLink::Sends()[1])[0].type, LCMP_RECORD_PARAMETER);
    EXPECT_EQ(RequestRecords(FakeLink::Sends()[2])[0].type, LCMP_RECORD_CONTROL_PARAMETER);
}

TEST_F(DeviceMode, SilenceMeansNewSequenceNumbersThenTimeoutWithNothingAppended) {
    Mode(5, 3);
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x01}});
    const uint8_t mine = 0x42;
    LCMPValueAdd(result.location(), 1, &mine);
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), result.location()), LCMP_ERROR_TIMEOUT);
    EXPECT_EQ(result.get()->count, 1);
    const auto sends = FakeLink::Sends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_NE(sends[0].sequence, sends[1].sequence);
    EXPECT_NE(sends[1].sequence, sends[2].sequence);
    EXPECT_EQ(sends[0].message, sends[2].message);
    // An answer after the caller gave up finds nothing and is dropped.
    EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, sends[2].sequence, Confirmation(Record(0, {0x01, 0x02}))));
    EXPECT_EQ(result.get()->count, 1);

    // Answered on the second attempt, with the first attempt's number (a
    // slow device): still this request's answer.
    FakeLink::sent.clear();
    FakeLink::script = [](const Sent &) {
        const auto soFar = FakeLink::Sends();
        if (soFar.size() == 2) Answer(kDevice, LCMP_READ_CNF, soFar[0].sequence, Confirmation(Record(0, {0x01, 0x09})));
    };
    Mode(20, 3);
    lcmp::ValueListHolder second;
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), second.location()), 0);
    EXPECT_EQ(FakeLink::Sends().size(), 2u);
    ASSERT_EQ(Entries(second.get()).size(), 1u);
    EXPECT_EQ(ValueOf(second.get()->first), (Bytes{0x01, 0x09}));
}

// A slow device answers every attempt after the caller moved on: the
// answers echo numbers of attempts that have ended and must never complete
// the next request to the same device, nor may answers with numbers this
// process never sent (another process's) or from another device.
TEST_F(DeviceMode, OnlyAnAnswerEchoingOneOfTheRequestsAttemptsIsTaken) {
    Mode(5, 2);
    lcmp::ValueListHolder request, first;
    lcmptest::AddAll(request, {{0x01}});
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), first.location()), LCMP_ERROR_TIMEOUT);
    const auto gaveUp = FakeLink::Sends();
    ASSERT_EQ(gaveUp.size(), 2u);

    const LCMPDeviceStats before = Stats();
    const Mac other{0x02, 0, 0, 0, 0x09, 0x09};
    FakeLink::script = [&](const Sent &s) {
        const Bytes answer = Confirmation(Record(0, {0x01, 0x66}));
        EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, gaveUp[0].sequence, answer));
        EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, gaveUp[1].sequence, answer));
        EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, static_cast<uint16_t>(s.sequence + 0x4000), answer));
        EXPECT_FALSE(Answer(other, LCMP_READ_CNF, s.sequence, answer));
    };
    lcmp::ValueListHolder second;
    EXPECT_EQ(LCMPRead(request.get(), 0, kDevice.data(), second.location()), LCMP_ERROR_TIMEOUT);
    EXPECT_EQ(second.get(), nullptr);
    const LCMPDeviceStats after = Stats();
    EXPECT_EQ(after.droppedLate - before.droppedLate, 4u);  // both attempts got both late answers
    EXPECT_EQ(after.droppedForeign - before.droppedForeign, 4u);
    EXPECT_EQ(after.answersTaken, before.answersTaken);
    EXPECT_EQ(LCMPDeviceStatsGet(nullptr), LCMP_ERROR_BAD_ARGS);
}

// An answer that echoes the right number but names parameters the request
// did not ask for (or write) is another request's answer: dropped, and the
// caller goes on waiting for its own.
TEST_F(DeviceMode, AnswersWhoseRecordsDoNotFitTheRequestAreDropped) {
    Mode(2000, 1);
    FakeLink::script = [](const Sent &s) {
        const auto records = RequestRecords(s);
        if (s.opcode == LCMP_READ_REQ) {
            EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, s.sequence,
                                Confirmation(Record(0, {0x01, 0x11}) + Record(0, {0x04, 0x44}))));
            EXPECT_FALSE(Answer(kDevice, LCMP_READ_CNF, s.sequence, Bytes{0x05, 0xFF, 0xFF}));  // malformed
            EXPECT_TRUE(Answer(kDevice, LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {0x01, 0x11}))));
        } else {
            EXPECT_FALSE(Answer(kDevice, LCMP_WRITE_CNF, s.sequence, Confirmation(Record(1, {0x01, 0x05}))));
            EXPECT_TRUE(Answer(kDevice, LCMP_WRITE_CNF, s.sequence, Confirmation(Record(1, {0x01, 0x03}))));
        }
    };
    const LCMPDeviceStats before = Stats();
    lcmp::ValueListHolder read, readResult, write, writeResult;
    lcmptest::AddAll(read, {{0x01}});
    lcmptest::AddAll(write, {{0x03, 0xAA}});
    ASSERT_EQ(LCMPRead(read.get(), 0, kDevice.data(), readResult.location()), 0);
    ASSERT_EQ(Entries(readResult.get()).size(), 1u);
    EXPECT_EQ(ValueOf(readResult.get()->first), (Bytes{0x01, 0x11}));
    ASSERT_EQ(LCMPWrite(write.get(), 0, kDevice.data(), writeResult.location()), 0);
    ASSERT_EQ(Entries(writeResult.get()).size(), 1u);
    EXPECT_EQ(ValueOf(writeResult.get()->first), (Bytes{0x01, 0x03}));

    // In a group, one device's ill-fitting answer leaves the others' standing.
    Mode(30, 1);
    FakeLink::script = [](const Sent &s) {
        Answer(DeviceNumber(0), LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {0x01, 0x10})));
        Answer(DeviceNumber(1), LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {0x02, 0x20})));
    };
    lcmp::ValueListHolder group;
    ASSERT_EQ(LCMPRead(read.get(), LCMP_DESTINATION_BROADCAST, nullptr, group.location()), 0);
    ASSERT_EQ(Entries(group.get()).size(), 1u);
    EXPECT_EQ(0, std::memcmp(group.get()->first->sourceMac, DeviceNumber(0).data(), 6));
    EXPECT_EQ(Stats().droppedIllFitting - before.droppedIllFitting, 4u);
}

// Once device mode is set, the counters jump to values another process
// cannot guess; a process that never sets it keeps numbering from where it
// stands. Each case runs in a child process, where the jump has not happened
// (fork: not in the Windows build).
#ifndef _WIN32
TEST(DeviceModeSequences, SettingDeviceModeMakesTheNumbersUnpredictable) {
    const auto counters = [] {
        std::array<uint16_t, 8> c{};
        for (std::size_t i = 0; i < c.size(); ++i) c[i] = lcmp::lcmpOpcodeNumSeq[i].load();
        return c;
    };
    // In the child: the counters after the link is installed in local mode,
    // and after device mode was set (before or after the link).
    const auto child = [&](bool modeFirst) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            lcmp::testing::DeviceModeForget();  // this binary's other tests set device mode
            lcmp::Link link;
            link.send = FakeLink::Send;
            link.sequencesUnpredictable = lcmp::SequencesUnpredictable;
            std::array<std::array<uint16_t, 8>, 3> seen{};
            seen[0] = counters();
            if (modeFirst) LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 100, 1);
            else LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 100, 1);
            lcmp::LinkInstall(link);
            seen[1] = counters();
            LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 100, 1);
            seen[2] = counters();
            _exit(write(fds[1], &seen, sizeof seen) == static_cast<ssize_t>(sizeof seen) ? 0 : 1);
        }
        close(fds[1]);
        std::array<std::array<uint16_t, 8>, 3> seen{};
        EXPECT_EQ(read(fds[0], &seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return seen;
    };
    const auto local = child(false), early = child(true), again = child(false);
    EXPECT_EQ(local[1], local[0]) << "local mode keeps the counters";
    EXPECT_NE(local[2], local[1]) << "device mode set with a session";
    EXPECT_NE(early[1], early[0]) << "a session opened in device mode";
    EXPECT_EQ(early[2], early[1]) << "only once";
    EXPECT_NE(again[2], local[2]) << "each process jumps elsewhere";
}
#endif

TEST_F(DeviceMode, GroupReadsCollectEachDeviceOnceAndNeedTheEchoedNumber) {
    Mode(30, 2);
    FakeLink::script = [](const Sent &s) {
        for (int i = 0; i < 5; ++i) {
            EXPECT_TRUE(Answer(DeviceNumber(i), LCMP_READ_CNF, s.sequence,
                               Confirmation(Record(0, {0x04, static_cast<uint8_t>(i)}))));
        }
        Answer(DeviceNumber(2), LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {0x04, 0xEE})));  // again
        EXPECT_FALSE(Answer(DeviceNumber(6), LCMP_READ_CNF, static_cast<uint16_t>(s.sequence + 1),
                            Confirmation(Record(0, {0x04, 0xEE}))));
    };
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x04}});
    ASSERT_EQ(LCMPRead(request.get(), LCMP_DESTINATION_MULTICAST, nullptr, result.location()), 0);
    EXPECT_EQ(FakeLink::Sends().size(), 1u) << "answered: no second send";
    EXPECT_EQ(FakeLink::Sends()[0].destination, (Mac{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96}));
    const auto e = Entries(result.get());
    ASSERT_EQ(e.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ValueOf(e[i]), (Bytes{0x04, static_cast<uint8_t>(i)}));
        EXPECT_EQ(0, std::memcmp(e[i]->sourceMac, DeviceNumber(i).data(), 6));
    }

    FakeLink::sent.clear();
    FakeLink::script = nullptr;
    lcmp::ValueListHolder none;
    EXPECT_EQ(LCMPRead(request.get(), LCMP_DESTINATION_BROADCAST, nullptr, none.location()), LCMP_ERROR_TIMEOUT);
    EXPECT_EQ(FakeLink::Sends().size(), 2u);
    EXPECT_EQ(none.get(), nullptr);
}

TEST_F(DeviceMode, LongRequestsGoInBatchesOfWholeRecordsAndTheAnswersMergeInOrder) {
    // Each batch is answered with one record per requested ID: ID, batch, index.
    FakeLink::script = [](const Sent &s) {
        const auto records = RequestRecords(s);
        EXPECT_LE(s.message.size(), lcmp::kMaxWireMessage);
        EXPECT_LE(records.size(), 255u);
        Bytes answer;
        if (s.opcode == LCMP_READ_REQ) {
            const auto batch = static_cast<uint8_t>(FakeLink::Sends().size() - 1);
            for (std::size_t i = 0; i < records.size(); ++i)
                answer += Record(0, {records[i].value[0], batch, static_cast<uint8_t>(i)});
        } else {
            answer = Record(1, {static_cast<uint8_t>(records.size())});
        }
        Answer(kDevice, s.opcode + 1, s.sequence, Confirmation(answer));
    };
    lcmp::ValueListHolder request, result;
    for (int i = 0; i < 10000; ++i) {
        const uint8_t id = static_cast<uint8_t>(i % 251);
        LCMPValueAdd(request.location(), 1, &id);
    }
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), result.location()), 0);
    EXPECT_EQ(FakeLink::Sends().size(), 40u);  // 39 x 255 + 55
    const auto e = Entries(result.get());
    ASSERT_EQ(e.size(), 10000u);
    for (std::size_t i = 0; i < e.size(); ++i)
        ASSERT_EQ(ValueOf(e[i]), (Bytes{static_cast<uint8_t>(i % 251), static_cast<uint8_t>(i / 255),
                                        static_cast<uint8_t>(i % 255)}))
            << i;

    // Large values: the message size decides (22 records of 1 000 bytes fit).
    FakeLink::sent.clear();
    lcmp::ValueListHolder big, written;
    const Bytes value(1000, 0x5A);
    for (int i = 0; i < 50; ++i) LCMPValueAdd(big.location(), static_cast<uint16_t>(value.size()), value.data());
    ASSERT_EQ(LCMPWrite(big.get(), 0, kDevice.data(), written.location()), 0);
    const auto sends = FakeLink::Sends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(RequestRecords(sends[0]).size(), 23u);
    EXPECT_EQ(written.get()->count, 3);

    // One record beyond any message: refused before anything is sent.
    FakeLink::sent.clear();
    lcmp::ValueListHolder huge, none;
    const Bytes hugeValue(lcmp::kMaxWireMessage - 11, 0x01);
    LCMPValueAdd(huge.location(), static_cast<uint16_t>(hugeValue.size()), hugeValue.data());
    EXPECT_EQ(LCMPWrite(huge.get(), 0, kDevice.data(), none.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_TRUE(FakeLink::Sends().empty());
}

// Eight threads with requests outstanding to one device at once; the device
// answers them in reverse order. Only the echoed number can tell them apart.
TEST_F(DeviceMode, ConcurrentRequestsNeverCross) {
    Mode(10000, 1);
    std::mutex m;
    std::condition_variable cv;
    std::deque<Sent> queue;
    bool stop = false;  // guarded by m
    FakeLink::script = [&](const Sent &s) {
        std::lock_guard lock(m);
        queue.push_back(s);
        cv.notify_one();
    };
    // The device answers once every waiting request has been sent, the
    // whole lot in reverse order.
    std::thread device([&] {
        std::unique_lock lock(m);
        while (!stop) {
            if (queue.empty() || queue.size() != lcmp::gOutstandingRequests.load()) {
                cv.wait_for(lock, std::chrono::milliseconds(1));
                continue;
            }
            std::deque<Sent> batch;
            batch.swap(queue);
            lock.unlock();
            std::reverse(batch.begin(), batch.end());
            for (const Sent &s : batch) {
                const auto records = RequestRecords(s);
                Answer(kDevice, LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {records[0].value[0], 0x77})));
            }
            lock.lock();
        }
    });
    constexpr int kThreads = 8, kRequests = 300;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                lcmp::ValueListHolder request, result;
                const uint8_t id = static_cast<uint8_t>(t * 16 + i % 16);
                LCMPValueAdd(request.location(), 1, &id);
                if (LCMPRead(request.get(), 0, kDevice.data(), result.location()) != 0) ++failed;
                else if (result.get() == nullptr || result.get()->count != 1 || result.get()->first->value[0] != id)
                    ++wrong;
            }
        });
    for (auto &t : threads) t.join();
    {
        std::lock_guard lock(m);
        stop = true;
    }
    device.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

// Refused before anything leaves: a request with any record too long for a
// message (the batches before it would be applied), a kind-0 address that
// is a group address, and a request on the thread that delivers answers.
TEST_F(DeviceMode, RequestsThatCannotCompleteSendNothing) {
    lcmp::ValueListHolder mixed, result;
    const Bytes hugeValue(lcmp::kMaxWireMessage - 11, 0x01);
    lcmptest::AddAll(mixed, {{0x03, 0xAA}});
    LCMPValueAdd(mixed.location(), static_cast<uint16_t>(hugeValue.size()), hugeValue.data());
    FakeLink::script = [](const Sent &s) { Answer(kDevice, s.opcode + 1, s.sequence, Confirmation(Record(1, {1, 3}))); };
    EXPECT_EQ(LCMPWrite(mixed.get(), 0, kDevice.data(), result.location()), LCMP_ERROR_BAD_ARGS);

    lcmp::ValueListHolder request;
    lcmptest::AddAll(request, {{0x03, 0xAA}});
    for (const Mac &group : {Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Mac{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96},
                             Mac{0x03, 0, 0, 0, 0, 1}}) {
        EXPECT_EQ(LCMPWrite(request.get(), 0, group.data(), result.location()), LCMP_ERROR_BAD_ARGS);
        EXPECT_EQ(LCMPNotify(nullptr, 0, group.data(), nullptr, 0), LCMP_ERROR_BAD_ARGS);
    }

    static thread_local bool delivering = false;
    lcmp::Link link;
    link.send = FakeLink::Send;
    std::memcpy(link.own, kOwn.data(), 6);
    link.ownKnown = true;
    link.onReceiveThread = []() noexcept { return delivering; };
    lcmp::LinkInstall(link);
    delivering = true;
    EXPECT_EQ(LCMPRead(request.get(), 0, kDevice.data(), result.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_TRUE(lcmp::OnReceiveThread());
    delivering = false;
    EXPECT_TRUE(FakeLink::Sends().empty());
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_EQ(LCMPWrite(request.get(), 0, kDevice.data(), result.location()), 0) << "on any other thread";
}

// The answer arrives, then the session ends before the caller wakes: the
// caller has its answer and returns it.
TEST_F(DeviceMode, AnAnswerThatCameBeforeTheSessionEndedIsReturned) {
    FakeLink::script = [](const Sent &s) {
        Answer(kDevice, LCMP_READ_CNF, s.sequence, Confirmation(Record(0, {0x01, 0x2A})));
        lcmp::LinkClear();
    };
    lcmp::ValueListHolder request, result;
    lcmptest::AddAll(request, {{0x01}});
    ASSERT_EQ(LCMPRead(request.get(), 0, kDevice.data(), result.location()), 0);
    ASSERT_EQ(Entries(result.get()).size(), 1u);
    EXPECT_EQ(ValueOf(result.get()->first), (Bytes{0x01, 0x2A}));
}

// 2 048 devices answering 32 parameters each would be 65 536 entries, one
// more than the list's count can hold; large values reach the byte bound.
// The collection stops before the answer that would pass, whole answers
// only, and the call says the result is incomplete.
TEST_F(DeviceMode, CollectionStopsAtItsBoundsAndSaysSo) {
    Mode(100, 1);
    const auto entriesAndBytes = [](const LCMPValueList *list) {
        std::size_t n = 0, bytes = 0;
        for (const LCMPValue *v = list ? list->first : nullptr; v; v = v->next, ++n) bytes += v->length;
        return std::pair{n, bytes};
    };
    const LCMPDeviceStats before = Stats();
    FakeLink::script = [](const Sent &s) {
        Bytes records;
        for (uint8_t id = 0; id < 32; ++id) records += Record(0, {id, 0x00});
        const Bytes answer = Confirmation(records);
        for (int i = 0; i < 2048; ++i) Answer(DeviceNumber(i), LCMP_READ_CNF, s.sequence, answer);
    };
    lcmp::ValueListHolder ids, result;
    for (uint8_t id = 0; id < 32; ++id) LCMPValueAdd(ids.location(), 1, &id);
    const uint8_t mine = 0x42;
    LCMPValueAdd(result.location(), 1, &mine);  // counts towards the bound
    ASSERT_EQ(LCMPRead(ids.get(), LCMP_DESTINATION_BROADCAST, nullptr, result.location()),
              LCMP_ERROR_ADDITIONAL_RESULT);
    EXPECT_EQ(entriesAndBytes(result.get()).first, 1u + 2047 * 32);
    EXPECT_EQ(result.get()->count, 1u + 2047 * 32);

    FakeLink::script = [](const Sent &s) {
        const Bytes answer = Confirmation(Record(0, Bytes(20000, 0x01)));
        for (int i = 0; i < 900; ++i) Answer(DeviceNumber(i), LCMP_READ_CNF, s.sequence, answer);
    };
    lcmp::ValueListHolder one, big;
    lcmptest::AddAll(one, {{0x01}});
    ASSERT_EQ(LCMPRead(one.get(), LCMP_DESTINATION_MULTICAST, nullptr, big.location()), LCMP_ERROR_ADDITIONAL_RESULT);
    EXPECT_EQ(entriesAndBytes(big.get()).second, (LCMP_RESULT_BYTE_LIMIT / 20000) * 20000);
    EXPECT_EQ(Stats().incompleteResults - before.incompleteResults, 2u);
}

TEST_F(DeviceMode, SessionEndEndsWaitingRequestsAndNoSessionRefusesThem) {
    Mode(60000, 1);
    int32_t rc = 0;
    std::thread caller([&] {
        lcmp::ValueListHolder request, result;
        lcmptest::AddAll(request, {{0x01}});
        rc = LCMPRead(request.get(), 0, kDevice.data(), result.location());
    });
    while (lcmp::gOutstandingRequests.load() == 0) std::this_thread::yield();
    LCMPEnd();
    caller.join();
    EXPECT_EQ(rc, LCMP_ERROR_SOCKET_NOT_OPENED);

    // LCMPEnd leaves device mode set: without a session requests fail, never answered locally.
    lcmp::ValueListHolder result;
    EXPECT_EQ(LCMPRead(nullptr, 0, kDevice.data(), result.location()), LCMP_ERROR_SOCKET_NOT_OPENED);
    EXPECT_EQ(LCMPNotify(nullptr, 2, nullptr, nullptr, 0), LCMP_ERROR_SOCKET_NOT_OPENED);
    SetUp();
    EXPECT_EQ(LCMPRead(nullptr, 0, nullptr, result.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPWrite(nullptr, 3, kDevice.data(), result.location()), LCMP_ERROR_BAD_ARGS);
    EXPECT_EQ(LCMPNotify(nullptr, 0, nullptr, nullptr, 0), LCMP_ERROR_BAD_ARGS);
    EXPECT_TRUE(FakeLink::Sends().empty());
}

TEST_F(DeviceMode, NotifySubscribesBeforeItsMessageLeaves) {
    std::size_t installedAtSend = 0;
    FakeLink::script = [&](const Sent &) { installedAtSend = lcmp::RegistryCount(); };
    lcmp::ValueListHolder list;
    const uint8_t type = 0x02;
    LCMPFullValueAdd(list.location(), nullptr, 6, 1, &type);
    ASSERT_EQ(LCMPNotify(list.get(), LCMP_DESTINATION_BROADCAST, nullptr, nullptr, 1), 0);
    EXPECT_EQ(installedAtSend, 1u);
    const auto sends = FakeLink::Sends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].opcode, LCMP_NOTIFY_IND);
    EXPECT_EQ(sends[0].destination, (Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sends[0].message, (Bytes{0x05, 0x04, 0x00, 0x01, 0x06, 0x01, 0x00, 0x02}));
}

int gNotified[2];
template <int N>
void Notified(LCMPValueList *) {
    ++gNotified[N];
}
void Notification() {
    const uint8_t from[6] = {0x02, 0, 0, 0, 1, 1};
    const Bytes payload{0x05, 0x04, 0x00, 0x00, 0x06, 0x01, 0x00, 0x07};
    CallbacksExecute(from, LCMP_NOTIFY_IND, payload.data(), static_cast<uint16_t>(payload.size()));
}

// A subscription message beyond one message is refused before the
// subscription is touched: the previous one keeps its notifications.
TEST_F(DeviceMode, NotifyTooLongForAMessageKeepsThePreviousSubscription) {
    gNotified[0] = gNotified[1] = 0;
    ASSERT_EQ(LCMPNotify(nullptr, LCMP_DESTINATION_BROADCAST, nullptr, Notified<0>, 0), 0);
    lcmp::ValueListHolder list;
    const Bytes value(1000, 0x06);
    for (int i = 0; i < 24; ++i) LCMPFullValueAdd(list.location(), nullptr, 6, 1000, value.data());
    EXPECT_EQ(LCMPNotify(list.get(), LCMP_DESTINATION_BROADCAST, nullptr, Notified<1>, 0), LCMP_ERROR_BAD_ARGS);
    Notification();
    EXPECT_EQ(gNotified[0], 1);
    EXPECT_EQ(gNotified[1], 0);
    EXPECT_EQ(FakeLink::Sends().size(), 1u);
}

// LCMPEnd (the link cleared, then the subscription released) racing a
// device-mode LCMPNotify: whichever comes first, no subscription outlives
// the session. Before the check, and between subscribing and sending.
TEST_F(DeviceMode, NotifyRacingTheSessionEndLeavesNoSubscription) {
    lcmp::SetComposedMessageObserver([](int32_t opcode, std::span<const uint8_t>) {
        if (opcode != LCMP_NOTIFY_IND) return;
        lcmp::LinkClear();
        lcmp::NotifySubscriptionRelease();
    });
    EXPECT_EQ(LCMPNotify(nullptr, LCMP_DESTINATION_BROADCAST, nullptr, nullptr, 0), LCMP_ERROR_SOCKET_NOT_OPENED);
    lcmp::SetComposedMessageObserver(nullptr);
    EXPECT_EQ(lcmp::RegistryCount(), 0u);

    SetUp();
    std::thread ending;
    FakeLink::script = [&](const Sent &) {
        lcmp::LinkClear();
        ending = std::thread([] { lcmp::NotifySubscriptionRelease(); });
    };
    FakeLink::result = LCMP_ERROR_SOCKET_NOT_OPENED;  // the session's link, closed under the send
    EXPECT_EQ(LCMPNotify(nullptr, LCMP_DESTINATION_BROADCAST, nullptr, nullptr, 0), LCMP_ERROR_SOCKET_NOT_OPENED);
    ending.join();
    EXPECT_EQ(lcmp::RegistryCount(), 0u);
}

}  // namespace
