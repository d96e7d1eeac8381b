// Device mode: one transaction per request message sent, and the table of
// transactions waiting for their answers.
//
// A transaction lives on its caller's stack. The caller enters it in the
// table, sends, and waits with a deadline on the transaction's condition
// variable; retries and group collection are loops around one send and one
// wait in the caller's thread. The receive thread only matches: under the
// table's lock it finds the transaction an answer belongs to, appends the
// answer's records to the transaction's own list, signals and lets go. The
// caller removes its transaction whatever happened, so a late answer finds
// nothing and is dropped.
//
// The table is a list scanned under its lock: at most one transaction per
// calling thread is outstanding, so a scan is shorter than a hash lookup's
// bookkeeping.
#include "transaction.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace lcmp {

std::atomic<uint32_t> gOutstandingRequests{0};

namespace {

// Sequence numbers of earlier attempts still recognised as exact matches.
constexpr std::size_t kRememberedAttempts = 16;
constexpr std::size_t kRequestHeaderSize = 9;
// How long a unicast caller yields for its answer before it blocks.
constexpr auto kSpinFor = std::chrono::microseconds(50);

struct Transaction {
    // Fixed while the transaction is in the table.
    uint8_t device[6] = {};  // the addressed device, or the group address
    bool group = false;
    int32_t confirmOpcode = 0;
    int32_t recordType = 0;  // of the confirmation's records
    // The current attempt's sequence number, -1 until the link has taken one.
    std::atomic<int32_t> sequence{-1};

    // Guarded by gMutex.
    std::array<uint16_t, kRememberedAttempts> earlier{};
    std::size_t earlierCount = 0;
    LCMPValueList *collected = nullptr;              // owned until handed to the caller
    std::vector<std::array<uint8_t, 6>> answeredBy;  // group: each device counts once
    uint32_t answers = 0;
    // Set with `answers` (unicast) or `ended`: read without the lock by a
    // caller spinning for its answer.
    std::atomic<bool> settled{false};
    bool ended = false;       // the session ended
    bool outOfMemory = false;  // a record could not be kept
    std::condition_variable answered;
    Transaction *previous = nullptr, *next = nullptr;
};

std::mutex gMutex;
Link gLink;
bool gLinkInstalled = false;
Transaction *gFirst = nullptr;

void Enter(Transaction *t) noexcept {
    t->next = gFirst;
    if (gFirst != nullptr) gFirst->previous = t;
    gFirst = t;
    gOutstandingRequests.fetch_add(1, std::memory_order_release);
}

void Leave(Transaction *t) noexcept {
    if (t->previous != nullptr) t->previous->next = t->next;
    else gFirst = t->next;
    if (t->next != nullptr) t->next->previous = t->previous;
    gOutstandingRequests.fetch_sub(1, std::memory_order_release);
}

bool Echoes(const Transaction &t, uint16_t sequence) noexcept {
    if (t.sequence.load(std::memory_order_acquire) == sequence) return true;
    const std::size_t known = std::min(t.earlierCount, kRememberedAttempts);
    return std::find(t.earlier.begin(), t.earlier.begin() + static_cast<std::ptrdiff_t>(known), sequence) !=
           t.earlier.begin() + static_cast<std::ptrdiff_t>(known);
}

// The transaction an answer belongs to, or none. Exact matches on the echoed
// sequence number come first. Without one, a device's answer goes to its
// unicast transaction of that opcode only when exactly one is waiting. A
// group answer needs the echo: a late answer to an earlier group request
// must not be collected by the next one. Caller holds gMutex.
Transaction *Find(const uint8_t *source, int32_t opcode, uint16_t sequence) noexcept {
    Transaction *only = nullptr;
    std::size_t unicast = 0;
    for (Transaction *t = gFirst; t != nullptr; t = t->next) {
        if (t->confirmOpcode != opcode) continue;
        if (t->group) {
            if (Echoes(*t, sequence)) return t;
            continue;
        }
        if (std::memcmp(t->device, source, 6) != 0 || t->answers != 0) continue;
        if (Echoes(*t, sequence)) return t;
        ++unicast;
        only = t;
    }
    return unicast == 1 ? only : nullptr;
}

// Appends `from`'s entries to the list at `into` and releases `from`.
void Splice(LCMPValueList **into, LCMPValueList *from) noexcept {
    if (from == nullptr) return;
    if (from->first == nullptr) {
        LCMPValueListDestroy(from);
        return;
    }
    if (*into == nullptr) {
        *into = from;
        return;
    }
    LCMPValueList *list = *into;
    if (list->last != nullptr) list->last->next = from->first;
    else list->first = from->first;
    list->last = from->last;
    list->count = static_cast<uint16_t>(list->count + from->count);
    from->first = from->last = nullptr;
    LCMPValueListDestroy(from);
}

int32_t ConfirmationOpcode(int32_t opcode) noexcept { return opcode + 1; }

uint8_t ConfirmationRecordType(int32_t opcode) noexcept {
    switch (opcode) {
        case LCMP_READ_REQ: return LCMP_RECORD_PARAMETER;
        case LCMP_WRITE_REQ: return LCMP_RECORD_WRITE_CONFIRM;
        default: return LCMP_RECORD_CONTROL_CONFIRM;
    }
}

// Copies the link, or fails as without a session.
int32_t CurrentLink(Link *link) noexcept {
    std::lock_guard lock(gMutex);
    if (!gLinkInstalled) return LCMP_ERROR_SOCKET_NOT_OPENED;
    *link = gLink;
    return LCMP_OK;
}

// One request message: sent up to `attempts` times, answers collected into
// `into`. Unicast: the first answer ends the wait. Group: every device's
// answer until the timeout after the send; a new send only when none came.
int32_t Exchange(const Link &link, const uint8_t *destination, bool group, int32_t opcode,
                 std::span<const uint8_t> message, const RequestSettings &settings, LCMPValueList **into) noexcept {
    Transaction t;
    std::memcpy(t.device, destination, 6);
    t.group = group;
    t.confirmOpcode = ConfirmationOpcode(opcode);
    t.recordType = ConfirmationRecordType(opcode);
    {
        std::lock_guard lock(gMutex);
        if (!gLinkInstalled) return LCMP_ERROR_SOCKET_NOT_OPENED;
        Enter(&t);
    }
    int32_t rc = LCMP_ERROR_TIMEOUT;
    for (uint32_t attempt = 0; attempt < settings.attempts; ++attempt) {
        if (attempt > 0) {
            std::lock_guard lock(gMutex);
            t.earlier[t.earlierCount++ % kRememberedAttempts] = static_cast<uint16_t>(t.sequence.load());
            t.sequence.store(-1, std::memory_order_release);
        }
        if (const int32_t sent = link.send(link.context, destination, opcode, message, &t.sequence); sent != 0) {
            rc = sent;
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::milliseconds(settings.timeoutMs);
        if (!group && gOutstandingRequests.load(std::memory_order_relaxed) == 1) {
            // An answer on a local link comes within tens of microseconds:
            // yielding for it a little while costs less than the sleep and
            // wake-up of a blocked wait, which would double the round trip.
            // Only a lone request does so: callers yielding side by side
            // take the processor from the threads that bring the answers.
            const auto spinUntil = std::min(deadline, start + kSpinFor);
            while (!t.settled.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < spinUntil)
                std::this_thread::yield();
        }
        std::unique_lock lock(gMutex);
        t.answered.wait_until(lock, deadline, [&] { return t.ended || (!group && t.answers != 0); });
        if (t.ended) {
            rc = LCMP_ERROR_SOCKET_NOT_OPENED;
            break;
        }
        if (t.answers != 0) {
            rc = t.outOfMemory ? LCMP_ERROR_MALLOC : LCMP_OK;
            break;
        }
    }
    LCMPValueList *collected = nullptr;
    {
        std::lock_guard lock(gMutex);
        Leave(&t);
        collected = t.collected;
        t.collected = nullptr;
    }
    if (rc == LCMP_OK || rc == LCMP_ERROR_MALLOC) Splice(into, collected);
    else LCMPValueListDestroy(collected);
    return rc;
}

}  // namespace

void LinkInstall(const Link &link) noexcept {
    std::lock_guard lock(gMutex);
    gLink = link;
    gLinkInstalled = link.send != nullptr;
}

void LinkClear() noexcept {
    std::lock_guard lock(gMutex);
    gLinkInstalled = false;
    gLink = Link{};
    for (Transaction *t = gFirst; t != nullptr; t = t->next) {
        t->ended = true;
        t->settled.store(true, std::memory_order_release);
        t->answered.notify_all();
    }
}

int32_t DeviceDestinationCheck(int32_t destinationKind, const uint8_t *deviceMac, uint8_t *destination) noexcept {
    {
        std::lock_guard lock(gMutex);
        if (!gLinkInstalled) return LCMP_ERROR_SOCKET_NOT_OPENED;
    }
    const uint8_t *address = nullptr;
    switch (destinationKind) {
        case LCMP_DESTINATION_DEVICE: address = deviceMac; break;
        case LCMP_DESTINATION_MULTICAST: address = kMulticastMac; break;
        case LCMP_DESTINATION_BROADCAST: address = kBroadcastMac; break;
        default: break;
    }
    if (address == nullptr) return LCMP_ERROR_BAD_ARGS;
    std::memcpy(destination, address, 6);
    return LCMP_OK;
}

int32_t DeviceSend(const uint8_t *destination, int32_t opcode, std::span<const uint8_t> message) noexcept {
    Link link;
    if (const int32_t rc = CurrentLink(&link); rc != 0) return rc;
    std::atomic<int32_t> sequence{-1};
    return link.send(link.context, destination, opcode, message, &sequence);
}

int32_t DeviceRequest(int32_t opcode, uint8_t requestRecordType, const LCMPValueList *request,
                      int32_t destinationKind, const uint8_t *deviceMac, LCMPValueList **resultLocation) noexcept {
    uint8_t destination[6];
    if (const int32_t rc = DeviceDestinationCheck(destinationKind, deviceMac, destination); rc != 0) return rc;
    if (resultLocation == nullptr) return LCMP_ERROR_BAD_ARGS;
    Link link;
    if (const int32_t rc = CurrentLink(&link); rc != 0) return rc;
    if (!link.ownKnown) return LCMP_ERROR_ETH_IF;
    const RequestSettings settings = RequestModeGet();
    const bool group = destinationKind != LCMP_DESTINATION_DEVICE;

    // Batches of whole records; the answers are merged here first, so that a
    // failed batch leaves the caller's list as it was.
    ValueListHolder merged;
    const LCMPValue *first = request != nullptr ? request->first : nullptr;
    do {
        const LCMPValue *end = first;
        std::size_t records = 0, bytes = kRequestHeaderSize;
        while (end != nullptr && records < kMaxBatchRecords && bytes + end->length + 3 <= kMaxWireMessage) {
            bytes += std::size_t{end->length} + 3;
            ++records;
            end = end->next;
        }
        if (end != nullptr && records == 0) return LCMP_ERROR_BAD_ARGS;  // one record beyond any message
        Buffer message;
        std::size_t size = 0;
        if (const int32_t rc = ComposeRequest(requestRecordType, first, end, link.own, &message, &size); rc != 0)
            return rc;
        const std::span<const uint8_t> bytesOut(message.get(), size);
        ObserveComposed(opcode, bytesOut);
        if (const int32_t rc = Exchange(link, destination, group, opcode, bytesOut, settings, merged.location());
            rc != 0) {
            if (rc != LCMP_ERROR_MALLOC) return rc;
            Splice(resultLocation, *merged.location());
            *merged.location() = nullptr;
            return rc;
        }
        first = end;
    } while (first != nullptr);
    Splice(resultLocation, *merged.location());
    *merged.location() = nullptr;
    return LCMP_OK;
}

bool AnswerMatch(const uint8_t *source, int32_t opcode, uint16_t sequence, std::span<const uint8_t> payload) noexcept {
    if (opcode != LCMP_READ_CNF && opcode != LCMP_WRITE_CNF && opcode != LCMP_CONTROL_CNF) return false;
    const auto area = RecordArea(opcode, payload);
    if (!area) return false;
    std::lock_guard lock(gMutex);
    Transaction *t = Find(source, opcode, sequence);
    if (t == nullptr) return false;
    if (t->group) {
        std::array<uint8_t, 6> device;
        std::memcpy(device.data(), source, 6);
        if (std::find(t->answeredBy.begin(), t->answeredBy.end(), device) != t->answeredBy.end()) return true;
        try {
            t->answeredBy.push_back(device);
        } catch (...) {
            t->outOfMemory = true;
        }
    }
    WalkRecords(*area, [&](const Record &r) {
        if (r.type != t->recordType || r.value.empty()) return;
        if (LCMPFullValueAdd(&t->collected, source, t->recordType, static_cast<uint16_t>(r.value.size()),
                             r.value.data()) != 0)
            t->outOfMemory = true;
    });
    ++t->answers;
    if (!t->group) {
        // A group's caller waits out its time; it is not woken for each answer.
        t->settled.store(true, std::memory_order_release);
        t->answered.notify_all();
    }
    return true;
}

}  // namespace lcmp
