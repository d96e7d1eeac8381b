#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "callback_data.h"
#include "registry.h"
#include "test_support.h"

using lcmptest::Bytes;

namespace {

const uint8_t kSender[6] = {0x02, 0, 0, 0, 0, 1};

// A confirmation-shaped message (opcode 353) carrying one record.
const Bytes kConfirm = {0x05, 0x04, 0x00, 0x00, 0x01, 0x00, 0x2A};

void Send(int32_t opcode, const Bytes &payload) {
    CallbacksExecute(kSender, opcode, payload.data(), static_cast<uint16_t>(payload.size()));
}

// The log of calls: which tag was called, with which record area.
struct Log {
    static inline std::vector<uintptr_t> tags;
    static inline std::vector<Bytes> areas;
    static int Record(const uint8_t *, const uint8_t *records, int length, CallbackData *data) {
        tags.push_back(data != nullptr ? data->owner : 0);
        areas.emplace_back(records, records + length);
        return 0;
    }
};

// A CallbackData as the bridge makes it for a Java callback: an owner word
// and the hook that releases it, which a C host cannot set.
std::vector<uintptr_t> gReleased;
CallbackData *JavaData(uintptr_t owner) {
    CallbackData *d = CallbackDataCreate(nullptr, 0, owner, nullptr);
    lcmp::CallbackDataSetOwnerRelease(d, [](uintptr_t o) { gReleased.push_back(o); });
    return d;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        lcmp::CallbackListDestroyAll();
        lcmp::testing::ForgetDroppedJavaPositions();
        Log::tags.clear();
        Log::areas.clear();
    }
    void TearDown() override {
        lcmp::CallbackListDestroyAll();
        for (CallbackData *d : made) CallbackDataDestroy(d);
    }
    CallbackData *Data(uintptr_t owner) {
        made.push_back(CallbackDataCreate(nullptr, 0, owner, nullptr));
        return made.back();
    }
    std::vector<CallbackData *> made;
};

TEST_F(Registry, CreationLineOnFirstInstallAndAgainAfterDestruction) {
    testing::internal::CaptureStdout();
    CallbackEntry *e = LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1));
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(2));
    const std::string line =
        "/////////////////////////Created empyty lcmpCallbacksList! //////////////////////////////\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    LCMPCallBackUninstall(e);
    EXPECT_EQ(lcmp::RegistryCount(), 1);

    lcmp::CallbackListDestroyAll();
    EXPECT_EQ(lcmp::RegistryCount(), 0);
    testing::internal::CaptureStdout();
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(3));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    EXPECT_EQ(lcmp::RegistryCount(), 1);
}

TEST_F(Registry, EmptiedRegistryStaysAndPrintsNothingOnNextInstall) {
    testing::internal::CaptureStdout();
    LCMPCallBackUninstall(LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1)));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lcmp::RegistryCount(), 0);
    testing::internal::CaptureStdout();
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Registry, DispatchMatchesOpcodeInInstallationOrder) {
    Send(LCMP_READ_CNF, kConfirm);  // no registry: nothing happens
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1));
    LCMPCallBackInstall(Log::Record, LCMP_READ_REQ, Data(2));
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(3));
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{1, 3}));
    ASSERT_EQ(Log::areas.size(), 2u);
    EXPECT_EQ(Log::areas[0], (Bytes{0x00, 0x01, 0x00, 0x2A}));
    EXPECT_EQ(Log::areas[1], Log::areas[0]);
}

TEST_F(Registry, MalformedMessagesAreNeverDelivered) {
    for (int32_t op = 350; op <= 361; ++op) LCMPCallBackInstall(Log::Record, op, Data(static_cast<uintptr_t>(op)));
    Send(LCMP_READ_CNF, {0x06, 0x00, 0x00});                 // wrong lead byte
    Send(LCMP_READ_CNF, {0x05, 0x05, 0x00, 0, 1, 0, 1});     // area past the payload
    Send(LCMP_READ_REQ, {0x05, 0, 0, 0, 0, 0, 0, 0});        // request header cut short
    Send(LCMP_NOTIFY_IND, {0x05, 0x00, 0x00});               // no flag byte
    Send(350, {0x05, 0x00, 0x00});                           // opcode without a header shape
    Send(360, {0x05, 0x00, 0x00});
    EXPECT_TRUE(Log::tags.empty());
    Send(LCMP_NOTIFY_IND, {0x05, 0x03, 0x00, 0x77, 6, 0, 0});
    ASSERT_EQ(Log::areas.size(), 1u);
    EXPECT_EQ(Log::areas[0], (Bytes{6, 0, 0}));
}

TEST_F(Registry, JavaIndexCountsOnlyEntriesWithAnOwner) {
    gReleased.clear();
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(0xC));  // a C host's, with an owner word of its own
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, JavaData(0xA));
    LCMPCallBackInstall(Log::Record, LCMP_NOTIFY_IND, Data(0));  // a subscription: no owner
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, JavaData(0xB));
    EXPECT_EQ(LCMPCallBackJavaUninstall(1), 0xBu);
    EXPECT_EQ(gReleased, (std::vector<uintptr_t>{0xB}));  // its CallbackData is gone
    EXPECT_EQ(LCMPCallBackJavaUninstall(2), 0u);
    EXPECT_EQ(LCMPCallBackJavaUninstall(1), 0u);
    EXPECT_EQ(LCMPCallBackJavaUninstall(-1), 0u);
    EXPECT_EQ(lcmp::RegistryCount(), 3);
    EXPECT_EQ(LCMPCallBackJavaUninstall(0), 0xAu);
    EXPECT_EQ(lcmp::RegistryCount(), 2);
    lcmp::CallbackListDestroyAll();
    EXPECT_EQ(LCMPCallBackJavaUninstall(0), 0u);
}

// The end of a receive loop drops Java registrations; the host still lists
// them, so their positions stay taken and name nothing from then on.
TEST_F(Registry, DroppedJavaEntriesAreReleasedAndKeepTheirPositions) {
    gReleased.clear();
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, JavaData(0xA));
    lcmp::CallbackListDestroyAll();
    EXPECT_EQ(gReleased, (std::vector<uintptr_t>{0xA}));
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, JavaData(0xC));
    EXPECT_EQ(LCMPCallBackJavaUninstall(0), 0u);
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{0xC}));
    EXPECT_EQ(LCMPCallBackJavaUninstall(1), 0xCu);
}

TEST_F(Registry, AJavaEntryDroppedDuringItsDeliveryIsReleasedWhenTheDeliveryEnds) {
    gReleased.clear();
    static std::atomic<bool> inside{false}, dropped{false};
    inside = false;
    dropped = false;
    auto waiter = [](const uint8_t *, const uint8_t *, int, CallbackData *d) {
        inside = true;
        while (!dropped) std::this_thread::yield();
        EXPECT_EQ(d->owner, 0xDu);  // not released under the delivery
        return 0;
    };
    LCMPCallBackInstall(waiter, LCMP_READ_CNF, JavaData(0xD));
    std::thread receive([] { Send(LCMP_READ_CNF, kConfirm); });
    while (!inside) std::this_thread::yield();
    lcmp::CallbackListDestroyAll();
    EXPECT_TRUE(gReleased.empty());
    dropped = true;
    receive.join();
    EXPECT_EQ(gReleased, (std::vector<uintptr_t>{0xD}));
}

TEST_F(Registry, StaleHandlesAreIgnored) {
    CallbackEntry *e = LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1));
    CallbackEntry *kept = LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(2));
    EXPECT_EQ(LCMPCallBackUninstall(e), 0);
    EXPECT_EQ(LCMPCallBackUninstall(e), 0);  // twice: no effect
    EXPECT_EQ(LCMPCallBackUninstall(nullptr), 0);
    EXPECT_EQ(lcmp::RegistryCount(), 1);
    lcmp::CallbackListDestroyAll();
    EXPECT_EQ(LCMPCallBackUninstall(kept), 0);  // after destruction: no effect
    // A later entry may be allocated where a stale handle's entry was: the
    // handle must still not name it.
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(3));
    EXPECT_EQ(LCMPCallBackUninstall(kept), 0);
    EXPECT_EQ(LCMPCallBackUninstall(e), 0);
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{3}));
}

TEST_F(Registry, InstallRefusesANullFunction) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(LCMPCallBackInstall(nullptr, LCMP_READ_CNF, Data(1)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no registry was created for it
    ASSERT_EQ(lcmp::RegistryCount(), 0);
    Send(LCMP_READ_CNF, kConfirm);
}

// ---- Changes to the registry from inside a callback ----

struct Reentrant {
    static inline CallbackEntry *self = nullptr;
    static inline CallbackEntry *neighbour = nullptr;
    static inline CallbackData *selfData = nullptr;
    static inline int added = 0;
};

TEST_F(Registry, CallbackRemovesItselfAndItsNeighbour) {
    auto remover = [](const uint8_t *m, const uint8_t *r, int l, CallbackData *d) {
        Log::Record(m, r, l, d);
        LCMPCallBackUninstall(Reentrant::self);
        LCMPCallBackUninstall(Reentrant::neighbour);
        return 0;
    };
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1));
    Reentrant::self = LCMPCallBackInstall(remover, LCMP_READ_CNF, Data(2));
    Reentrant::neighbour = LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(3));
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(4));
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{1, 2, 4}));
    Log::tags.clear();
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{1, 4}));
}

TEST_F(Registry, EntriesAddedDuringDispatchWaitForTheNextMessage) {
    auto adder = [](const uint8_t *m, const uint8_t *r, int l, CallbackData *d) {
        Log::Record(m, r, l, d);
        if (Reentrant::added++ == 0) LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Reentrant::selfData);
        return 0;
    };
    Reentrant::added = 0;
    Reentrant::selfData = Data(9);
    LCMPCallBackInstall(adder, LCMP_READ_CNF, Data(1));
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(2));
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{1, 2}));
    Log::tags.clear();
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{1, 2, 9}));
}

TEST_F(Registry, DataDestroyedDuringItsDeliveryIsFreedWhenTheDeliveryEnds) {
    static std::vector<std::string> events;
    events.clear();
    auto destroyer = [](const uint8_t *, const uint8_t *, int, CallbackData *d) {
        LCMPCallBackJavaUninstall(0);  // removes this very entry and destroys d
        events.push_back(d->owner == 0x77 ? "still alive" : "corrupt");
        return 0;
    };
    CallbackData *d = CallbackDataCreate(nullptr, 0, 0x77, nullptr);
    lcmp::CallbackDataSetOwnerRelease(d, [](uintptr_t) { events.push_back("released"); });
    LCMPCallBackInstall(destroyer, LCMP_READ_CNF, d);
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(events, (std::vector<std::string>{"still alive", "released"}));
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(Registry, VisitEntriesWalksInOrderAndToleratesRemoval) {
    LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(1));
    LCMPCallBackInstall(Log::Record, LCMP_WRITE_CNF, JavaData(2));
    LCMPCallBackInstall(Log::Record, LCMP_READ_REQ, Data(3));
    struct Ctx {
        std::vector<std::pair<uintptr_t, int32_t>> seen;
    } ctx;
    lcmp::VisitEntries(
        [](CallbackData *d, int32_t opcode, void *c) {
            static_cast<Ctx *>(c)->seen.emplace_back(d->owner, opcode);
            if (d->owner == 1) LCMPCallBackJavaUninstall(0);  // removes the next one, the only Java entry
        },
        &ctx);
    EXPECT_EQ(ctx.seen, (std::vector<std::pair<uintptr_t, int32_t>>{{1, LCMP_READ_CNF}, {3, LCMP_READ_REQ}}));
}

TEST_F(Registry, RemovalFromAnotherThreadDoesNotWaitForARunningCallback) {
    // The callback blocks until the other thread's removal has returned: a
    // removal that waited for the delivery would deadlock here.
    static std::atomic<bool> removed{false};
    static std::atomic<bool> inside{false};
    removed = false;
    inside = false;
    auto blocker = [](const uint8_t *, const uint8_t *, int, CallbackData *d) {
        inside = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!removed && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        EXPECT_TRUE(removed.load());
        EXPECT_EQ(d->owner, 5u);  // still valid although its owner destroyed it
        return 0;
    };
    LCMPCallBackInstall(blocker, LCMP_READ_CNF, JavaData(5));
    std::thread receive([] { Send(LCMP_READ_CNF, kConfirm); });
    while (!inside) std::this_thread::yield();
    EXPECT_EQ(LCMPCallBackJavaUninstall(0), 5u);
    removed = true;
    receive.join();
}

}  // namespace

namespace {

TEST_F(Registry, InstallWithoutMemoryReturnsNullAndLeavesTheRegistryAsItWas) {
    lcmptest::AllocationFailureGuard guard;
    CallbackData *first = Data(1), *second = Data(2);
    testing::internal::CaptureStdout();
    lcmp::testing::FailAllocation(1);  // the registry itself
    EXPECT_EQ(LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, first), nullptr);
    // The creation line is written after every attempt, also a failed one.
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Created empyty lcmpCallbacksList!"), std::string::npos);
    EXPECT_EQ(lcmp::RegistryCount(), 0);

    testing::internal::CaptureStdout();
    lcmp::testing::FailAllocation(2);  // the entry, after the registry
    EXPECT_EQ(LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, second), nullptr);
    lcmp::testing::FailAllocation(0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lcmp::RegistryCount(), 0);
    ASSERT_NE(LCMPCallBackInstall(Log::Record, LCMP_READ_CNF, Data(3)), nullptr);
    Send(LCMP_READ_CNF, kConfirm);
    EXPECT_EQ(Log::tags, (std::vector<uintptr_t>{3}));
}

}  // namespace
