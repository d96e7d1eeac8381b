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
// Matching is exact: an answer belongs to a transaction only when it carries
// the confirmation opcode, echoes the sequence number of one of the
// transaction's attempts, comes from the addressed device (any device for a
// group), and its records fit the request (a read confirmation names only
// parameters the batch asked for, a write confirmation only those it wrote).
// Anything else is dropped and counted.
//
// The table is a list scanned under its lock: at most one transaction per
// calling thread is outstanding, so a scan is shorter than a hash lookup's
// bookkeeping.
#include "transaction.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace lcmp {

std::atomic<uint32_t> gOutstandingRequests{0};
std::atomic<bool> gAnswersExpected{false};

namespace {

constexpr std::size_t kRequestHeaderSize = 9;
// How long a unicast caller yields for its answer before it blocks.
constexpr auto kSpinFor = std::chrono::microseconds(50);

struct Transaction {
    // Fixed while the transaction is in the table.
    uint8_t device[6] = {};  // the addressed device, or the group address
    bool group = false;
    int32_t confirmOpcode = 0;
    int32_t recordType = 0;  // of the confirmation's records
    // Read and write: the parameter IDs the batch names; a confirmation
    // record naming another does not fit the request.
    bool checkIds = false;
    std::bitset<256> ids;
    // The current attempt's sequence number, -1 until the link has taken one.
    std::atomic<int32_t> sequence{-1};

    // Guarded by gMutex.
    std::vector<uint16_t> earlier;  // the sequence numbers of the earlier attempts
    LCMPValueList *collected = nullptr;     // owned until handed to the caller
    std::unordered_set<uint64_t> answeredBy;  // group: each device counts once
    uint32_t answers = 0;
    // What the call may still collect; an answer beyond it ends the
    // collection with `incomplete` set.
    std::size_t entryRoom = 0, byteRoom = 0;
    bool incomplete = false;
    // Set with `answers` (unicast), `incomplete` or `ended`: read without
    // the lock by a caller spinning for its answer.
    std::atomic<bool> settled{false};
    bool ended = false;        // the session ended
    bool outOfMemory = false;  // a record could not be kept
    std::condition_variable answered;
    Transaction *previous = nullptr, *next = nullptr;
};

std::mutex gMutex;
Link gLink;
bool gLinkInstalled = false;
bool gDeviceModeEnabled = false;
Transaction *gFirst = nullptr;

// What device mode dropped, and what it took.
struct Counters {
    std::atomic<uint64_t> taken{0}, late{0}, foreign{0}, illFitting{0}, duplicate{0}, incomplete{0};
} gCounters;

// Per confirmation opcode, the sequence numbers of attempts whose
// transaction has ended: an answer echoing one is late, any other unmatched
// answer foreign. A number's mark is cleared when the counter has gone half
// way round since, so that marks of long ago do not pass foreign answers
// off as late. Guarded by gMutex.
std::array<std::bitset<65536>, 3> gEnded;

std::bitset<65536> &EndedOf(int32_t confirmOpcode) noexcept {
    return gEnded[static_cast<std::size_t>(confirmOpcode - LCMP_READ_CNF) / 2];
}

void MarkEnded(int32_t confirmOpcode, uint16_t sequence) noexcept {
    auto &ended = EndedOf(confirmOpcode);
    ended.set(sequence);
    ended.reset(static_cast<uint16_t>(sequence + 0x8000));
}

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
    for (const uint16_t s : t->earlier) MarkEnded(t->confirmOpcode, s);
    if (const int32_t s = t->sequence.load(std::memory_order_acquire); s >= 0)
        MarkEnded(t->confirmOpcode, static_cast<uint16_t>(s));
}

bool Echoes(const Transaction &t, uint16_t sequence) noexcept {
    if (t.sequence.load(std::memory_order_acquire) == sequence) return true;
    return std::find(t.earlier.begin(), t.earlier.end(), sequence) != t.earlier.end();
}

// The transaction whose attempts include the echoed sequence number, or
// none. Nothing else decides: a late answer to an earlier request, or an
// answer meant for another process, must not be taken by a request that
// happens to wait for the same device. Caller holds gMutex.
Transaction *Find(int32_t opcode, uint16_t sequence) noexcept {
    for (Transaction *t = gFirst; t != nullptr; t = t->next)
        if (t->confirmOpcode == opcode && Echoes(*t, sequence)) return t;
    return nullptr;
}

// True when every record of the confirmation's type names a parameter the
// batch asked for (read: its ID byte; write: each ID after the count byte).
bool Fits(const Transaction &t, std::span<const uint8_t> area) noexcept {
    if (!t.checkIds) return true;
    bool fits = true;
    WalkRecords(area, [&](const Record &r) {
        if (r.type != t.recordType || r.value.empty()) return;
        if (t.recordType == LCMP_RECORD_PARAMETER) {
            fits = fits && t.ids.test(r.value[0]);
            return;
        }
        for (std::size_t i = 1; i < r.value.size(); ++i) fits = fits && t.ids.test(r.value[i]);
    });
    return fits;
}

uint64_t MacKey(const uint8_t *mac) noexcept {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
    return key;
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

// What one call may still collect (entries and value bytes).
struct Room {
    std::size_t entries, bytes;
};

// One request message: sent up to `attempts` times, answers collected into
// `into`. Unicast: the first answer ends the wait. Group: every device's
// answer until the timeout after the send; a new send only when none came.
// An answer beyond `room` ends the collection (LCMP_ERROR_ADDITIONAL_RESULT);
// `room` is reduced by what was collected.
// `first` to `end` are the batch's request entries.
int32_t Exchange(const Link &link, const uint8_t *destination, bool group, int32_t opcode, const LCMPValue *first,
                 const LCMPValue *end, std::span<const uint8_t> message, const RequestSettings &settings,
                 Room *room, LCMPValueList **into) noexcept {
    Transaction t;
    std::memcpy(t.device, destination, 6);
    t.group = group;
    t.confirmOpcode = ConfirmationOpcode(opcode);
    t.recordType = ConfirmationRecordType(opcode);
    t.checkIds = opcode != LCMP_CONTROL_REQ;
    for (const LCMPValue *v = first; v != end; v = v->next)
        if (v->length != 0) t.ids.set(v->value[0]);
    t.entryRoom = room->entries;
    t.byteRoom = room->bytes;
    try {
        t.earlier.reserve(std::min<uint32_t>(settings.attempts, 64) - 1);
    } catch (...) {
        return LCMP_ERROR_MALLOC;
    }
    {
        std::lock_guard lock(gMutex);
        if (!gLinkInstalled) return LCMP_ERROR_SOCKET_NOT_OPENED;
        Enter(&t);
        gAnswersExpected.store(true, std::memory_order_relaxed);
    }
    int32_t rc = LCMP_ERROR_TIMEOUT;
    for (uint32_t attempt = 0; attempt < settings.attempts; ++attempt) {
        if (attempt > 0) {
            std::lock_guard lock(gMutex);
            try {
                t.earlier.push_back(static_cast<uint16_t>(t.sequence.load()));
            } catch (...) {
                // Out of memory: this attempt's answer is then counted late.
                MarkEnded(t.confirmOpcode, static_cast<uint16_t>(t.sequence.load()));
            }
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
        t.answered.wait_until(lock, deadline,
                              [&] { return t.ended || t.incomplete || (!group && t.answers != 0); });
        // A unicast answer that came before the session ended is returned:
        // the request has what it waited for.
        if (!group && t.answers != 0) {
            rc = t.outOfMemory ? LCMP_ERROR_MALLOC : LCMP_OK;
            break;
        }
        if (t.incomplete) {
            rc = LCMP_ERROR_ADDITIONAL_RESULT;
            break;
        }
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
        room->entries = t.entryRoom;
        room->bytes = t.byteRoom;
    }
    if (rc == LCMP_OK || rc == LCMP_ERROR_MALLOC || rc == LCMP_ERROR_ADDITIONAL_RESULT) Splice(into, collected);
    else LCMPValueListDestroy(collected);
    return rc;
}

}  // namespace

void LinkInstall(const Link &link) noexcept {
    std::lock_guard lock(gMutex);
    gLink = link;
    gLinkInstalled = link.send != nullptr;
    if (gDeviceModeEnabled && link.sequencesUnpredictable != nullptr) link.sequencesUnpredictable();
}

namespace testing {
void DeviceModeForget() noexcept {
    std::lock_guard lock(gMutex);
    gDeviceModeEnabled = false;
}
}  // namespace testing

void DeviceModeEnabled() noexcept {
    std::lock_guard lock(gMutex);
    gDeviceModeEnabled = true;
    if (gLinkInstalled && gLink.sequencesUnpredictable != nullptr) gLink.sequencesUnpredictable();
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
        case LCMP_DESTINATION_DEVICE:
            // A group address would reach every device, and the call would
            // then wait for one answer from an address no device has.
            if (deviceMac != nullptr && (deviceMac[0] & 0x01) == 0) address = deviceMac;
            break;
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

bool LinkReady() noexcept {
    std::lock_guard lock(gMutex);
    return gLinkInstalled;
}

bool OnReceiveThread() noexcept {
    std::lock_guard lock(gMutex);
    return gLinkInstalled && gLink.onReceiveThread != nullptr && gLink.onReceiveThread();
}

int32_t DeviceRequest(int32_t opcode, uint8_t requestRecordType, const LCMPValueList *request,
                      int32_t destinationKind, const uint8_t *deviceMac, LCMPValueList **resultLocation) noexcept {
    uint8_t destination[6];
    if (const int32_t rc = DeviceDestinationCheck(destinationKind, deviceMac, destination); rc != 0) return rc;
    if (resultLocation == nullptr) return LCMP_ERROR_BAD_ARGS;
    Link link;
    if (const int32_t rc = CurrentLink(&link); rc != 0) return rc;
    // The receive thread, in a callback, would wait for an answer that only
    // it can deliver.
    if (link.onReceiveThread != nullptr && link.onReceiveThread()) return LCMP_ERROR_BAD_ARGS;
    if (!link.ownKnown) return LCMP_ERROR_ETH_IF;
    const LCMPValue *first = request != nullptr ? request->first : nullptr;
    // Every record must fit a message before the first batch leaves.
    for (const LCMPValue *v = first; v != nullptr; v = v->next)
        if (kRequestHeaderSize + v->length + 3 > kMaxWireMessage) return LCMP_ERROR_BAD_ARGS;
    const RequestSettings settings = RequestModeGet();
    const bool group = destinationKind != LCMP_DESTINATION_DEVICE;
    const std::size_t held = *resultLocation != nullptr ? (*resultLocation)->count : 0;
    Room room{LCMP_RESULT_ENTRY_LIMIT - std::min<std::size_t>(held, LCMP_RESULT_ENTRY_LIMIT), LCMP_RESULT_BYTE_LIMIT};

    // Batches of whole records; the answers are merged here first, so that a
    // failed batch leaves the caller's list as it was.
    ValueListHolder merged;
    do {
        const LCMPValue *end = first;
        std::size_t records = 0, bytes = kRequestHeaderSize;
        while (end != nullptr && records < kMaxBatchRecords && bytes + end->length + 3 <= kMaxWireMessage) {
            bytes += std::size_t{end->length} + 3;
            ++records;
            end = end->next;
        }
        Buffer message;
        std::size_t size = 0;
        if (const int32_t rc = ComposeRequest(requestRecordType, first, end, link.own, &message, &size); rc != 0)
            return rc;
        const std::span<const uint8_t> bytesOut(message.get(), size);
        ObserveComposed(opcode, bytesOut);
        if (const int32_t rc = Exchange(link, destination, group, opcode, first, end, bytesOut, settings, &room,
                                        merged.location());
            rc != 0) {
            if (rc != LCMP_ERROR_MALLOC && rc != LCMP_ERROR_ADDITIONAL_RESULT) return rc;
            if (rc == LCMP_ERROR_ADDITIONAL_RESULT) gCounters.incomplete.fetch_add(1, std::memory_order_relaxed);
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
    std::lock_guard lock(gMutex);
    Transaction *t = Find(opcode, sequence);
    if (t == nullptr) {
        (EndedOf(opcode).test(sequence) ? gCounters.late : gCounters.foreign).fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!t->group && std::memcmp(t->device, source, 6) != 0) {
        gCounters.foreign.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const auto area = RecordArea(opcode, payload);
    if (!area || !Fits(*t, *area)) {
        gCounters.illFitting.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const uint64_t device = MacKey(source);
    if (t->group ? t->answeredBy.contains(device) : t->answers != 0) {
        gCounters.duplicate.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (t->incomplete) return false;  // the collection has ended
    std::size_t entries = 0, bytes = 0;
    WalkRecords(*area, [&](const Record &r) {
        if (r.type != t->recordType || r.value.empty()) return;
        ++entries;
        bytes += r.value.size();
    });
    if (entries > t->entryRoom || bytes > t->byteRoom) {
        // Whole answers or none: the collection ends before this one.
        t->incomplete = true;
        t->settled.store(true, std::memory_order_release);
        t->answered.notify_all();
        return false;
    }
    t->entryRoom -= entries;
    t->byteRoom -= bytes;
    if (t->group) {
        try {
            t->answeredBy.insert(device);
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
    gCounters.taken.fetch_add(1, std::memory_order_relaxed);
    if (!t->group) {
        // A group's caller waits out its time; it is not woken for each answer.
        t->settled.store(true, std::memory_order_release);
        t->answered.notify_all();
    }
    return true;
}

}  // namespace lcmp

extern "C" int32_t LCMPDeviceStatsGet(LCMPDeviceStats *stats) {
    if (stats == nullptr) return LCMP_ERROR_BAD_ARGS;
    const auto &c = lcmp::gCounters;
    stats->answersTaken = c.taken.load(std::memory_order_relaxed);
    stats->droppedLate = c.late.load(std::memory_order_relaxed);
    stats->droppedForeign = c.foreign.load(std::memory_order_relaxed);
    stats->droppedIllFitting = c.illFitting.load(std::memory_order_relaxed);
    stats->droppedDuplicate = c.duplicate.load(std::memory_order_relaxed);
    stats->incompleteResults = c.incomplete.load(std::memory_order_relaxed);
    return LCMP_OK;
}
