// The callback registry: one process-wide chain of installed callbacks,
// dispatched by opcode.
//
// Concurrency design. Caller threads install, remove and walk; the receive
// thread dispatches and finally destroys the chain. DeliveryMutex() guards
// the chain, every entry's links and counters, and every CallbackData's
// delivery count. It is never held while a callback runs:
//  - A walk notes the newest installation number when it starts and only
//    calls entries up to it, so entries added during the walk wait for the
//    next message. Before each call it takes the mutex, counts a call on the
//    entry and a delivery on its CallbackData, lets the mutex go and calls.
//  - Removal unlinks the entry at once and returns without waiting. An entry
//    that a walk is calling stays allocated until that call ends; the walk
//    then continues with the first linked entry installed after it, so the
//    removal of the current, the next or any other entry is harmless.
//  - A CallbackData destroyed during a delivery is freed by the end of the
//    last delivery (see callback_data.cpp). A removed entry is never called
//    once its removal has returned: the walk checks under the mutex.
//  - The handle an installation returns is not the entry's address but its
//    installation number, which is never used again. Removal looks the
//    number up on the chain, so a handle that outlived its entry (removed
//    twice, or the registry destroyed at the end of a session) names nothing,
//    whatever the allocator has since put at the old entry's address.
#include <cstdio>

#include "callback_data.h"
#include "registry.h"

struct CallbackEntry {
    LCMPCallBackFunction function;
    CallbackData *callbackData;
    int32_t opcode;
    CallbackEntry *next;
    CallbackEntry *previous;
    uint64_t installNumber;  // increases in chain order
    uint32_t calls;          // calls running now
    bool linked;
};

struct CallbackList {
    uint16_t count;
    CallbackEntry *first;
    CallbackEntry *last;
};

namespace lcmp {
namespace {

CallbackList *lcmpCallbacksList = nullptr;  // guarded by DeliveryMutex()
uint64_t gLastInstallNumber = 0;            // guarded by DeliveryMutex()
int64_t gDroppedJavaPositions = 0;          // guarded by DeliveryMutex()

CallbackList *CallbackListCreate() noexcept {
    auto *list = static_cast<CallbackList *>(Allocate(sizeof(CallbackList)));
    if (list != nullptr) *list = CallbackList{0, nullptr, nullptr};
    return list;
}

void CallbackInsert(CallbackList *list, CallbackEntry *entry) noexcept {
    entry->previous = list->last;
    entry->next = nullptr;
    if (list->last != nullptr) list->last->next = entry;
    list->last = entry;
    if (list->first == nullptr) list->first = entry;
    ++list->count;
    entry->linked = true;
}

// Unlinks the entry; frees it unless a call to it is running, in which case
// the walk making that call frees it.
void CallbackDelete(CallbackList *list, CallbackEntry *entry) noexcept {
    if (entry->next != nullptr) entry->next->previous = entry->previous;
    else list->last = entry->previous;
    if (entry->previous != nullptr) entry->previous->next = entry->next;
    else list->first = entry->next;
    --list->count;
    entry->linked = false;
    if (entry->calls == 0) Release(entry);
}

// The installed entry with this installation number, or null.
CallbackEntry *FindInstalled(const CallbackList *list, uint64_t number) noexcept {
    if (list == nullptr || number == 0) return nullptr;
    for (CallbackEntry *e = list->first; e != nullptr && e->installNumber <= number; e = e->next)
        if (e->installNumber == number) return e;
    return nullptr;
}

// Handles are installation numbers; the public type stays opaque, and no
// host dereferences it. (With 64-bit pointers a number is never reused.)
CallbackEntry *HandleOf(uint64_t number) noexcept {
    return reinterpret_cast<CallbackEntry *>(static_cast<uintptr_t>(number));
}
uint64_t NumberOf(const CallbackEntry *handle) noexcept { return reinterpret_cast<uintptr_t>(handle); }

// Whether the entry is a Java callback registration, which alone takes a
// position for LCMPCallBackJavaUninstall. The bridge gives its records an
// owner-release hook (an internal interface, out of a C host's reach); a C
// host's record may carry an owner word of its own but never the hook.
bool TakesJavaPosition(const CallbackEntry *e) noexcept {
    const CallbackData *d = e->callbackData;
    return d != nullptr && d->owner != 0 && d->ownerRelease != nullptr;
}

// Installs the entry; its installation number, or 0 when nothing was installed.
uint64_t CallbackAdd(CallbackList **registry, LCMPCallBackFunction function, int32_t opcode,
                     CallbackData *data) noexcept {
    bool created = false;
    uint64_t number = 0;
    {
        std::lock_guard lock(DeliveryMutex());
        if (*registry == nullptr) {
            *registry = CallbackListCreate();
            created = true;
        }
        if (*registry != nullptr) {
            auto *entry = static_cast<CallbackEntry *>(Allocate(sizeof(CallbackEntry)));
            if (entry != nullptr) {
                number = ++gLastInstallNumber;
                *entry = CallbackEntry{function, data, opcode, nullptr, nullptr, number, 0, false};
                CallbackInsert(*registry, entry);
            }
        }
    }
    if (created) {
        std::puts("/////////////////////////Created empyty lcmpCallbacksList! //////////////////////////////");
        std::fflush(stdout);  // in order with the host's own output, also through a pipe
    }
    return number;
}

// The first linked entry after `after` in installation order, not newer
// than `newest`; `after` may have been unlinked meanwhile.
CallbackEntry *NextEntry(const CallbackEntry *after, uint64_t afterNumber, uint64_t newest) noexcept {
    CallbackEntry *e = nullptr;
    if (after != nullptr && after->linked) e = after->next;
    else if (lcmpCallbacksList != nullptr) {
        e = lcmpCallbacksList->first;
        while (e != nullptr && e->installNumber <= afterNumber) e = e->next;
    }
    return (e != nullptr && e->installNumber <= newest) ? e : nullptr;
}

// The one safe walk behind dispatch and VisitEntries. `select` runs under
// the mutex; `call` runs without it.
template <typename Select, typename Call>
void Walk(Select &&select, Call &&call) {
    CallbackData *toFree = nullptr;
    std::unique_lock lock(DeliveryMutex());
    if (lcmpCallbacksList == nullptr) return;
    const uint64_t newest = gLastInstallNumber;
    CallbackEntry *entry = NextEntry(nullptr, 0, newest);
    while (entry != nullptr) {
        CallbackData *data = entry->callbackData;
        if (!select(*entry) || (data != nullptr && !BeginDeliveryLocked(data))) {
            entry = NextEntry(entry, entry->installNumber, newest);
            continue;
        }
        ++entry->calls;
        lock.unlock();
        if (toFree != nullptr) {
            CallbackDataFree(toFree);
            toFree = nullptr;
        }
        call(*entry, data);
        lock.lock();
        --entry->calls;
        if (data != nullptr && EndDeliveryLocked(data)) toFree = data;
        CallbackEntry *next = NextEntry(entry, entry->installNumber, newest);
        if (!entry->linked && entry->calls == 0) Release(entry);
        entry = next;
    }
    lock.unlock();
    if (toFree != nullptr) CallbackDataFree(toFree);
}

}  // namespace

void VisitEntries(EntryVisitor visit, void *context) {
    if (visit == nullptr) return;
    Walk([](const CallbackEntry &) { return true; },
         [&](const CallbackEntry &entry, CallbackData *data) { visit(data, entry.opcode, context); });
}

// Frees every entry and the registry. Java registrations are dropped: no
// one else holds their records, so each is released here with its owner
// reference (by the last delivery, if one is running), and each keeps its
// position, as the host still lists it. C hosts' records stay with them.
void CallbackListDestroyAll() noexcept {
    CallbackEntry *unused = nullptr;  // entries no call is using, chained through next
    {
        std::lock_guard lock(DeliveryMutex());
        CallbackList *list = lcmpCallbacksList;
        if (list == nullptr) return;
        for (CallbackEntry *e = list->first, *next = nullptr; e != nullptr; e = next) {
            next = e->next;
            e->linked = false;
            CallbackData *data = e->callbackData;
            bool releaseData = false;
            if (TakesJavaPosition(e)) {
                ++gDroppedJavaPositions;
                data->destroyPending = true;
                releaseData = data->deliveries == 0;  // else the delivery ending last frees it
            }
            // An entry being called is freed by the walk calling it; its
            // record then has a delivery running, so it is not released here.
            if (e->calls != 0) continue;
            e->callbackData = releaseData ? data : nullptr;
            e->next = unused;
            unused = e;
        }
        Release(list);
        lcmpCallbacksList = nullptr;
    }
    // Outside the mutex: a release deletes a Java reference, which may
    // attach the thread to the virtual machine.
    while (unused != nullptr) {
        CallbackEntry *e = unused;
        unused = e->next;
        if (e->callbackData != nullptr) CallbackDataFree(e->callbackData);
        Release(e);
    }
}

int64_t TakeDroppedJavaPositions() noexcept {
    std::lock_guard lock(DeliveryMutex());
    const int64_t dropped = gDroppedJavaPositions;
    gDroppedJavaPositions = 0;
    return dropped;
}

void testing::ForgetDroppedJavaPositions() noexcept {
    std::lock_guard lock(DeliveryMutex());
    gDroppedJavaPositions = 0;
}

uint16_t RegistryCount() noexcept {
    std::lock_guard lock(DeliveryMutex());
    return lcmpCallbacksList != nullptr ? lcmpCallbacksList->count : 0;
}

}  // namespace lcmp

extern "C" {

CallbackEntry *LCMPCallBackInstall(LCMPCallBackFunction function, int32_t opcode, CallbackData *data) {
    if (function == nullptr) return nullptr;  // dispatch would call it
    const uint64_t number = lcmp::CallbackAdd(&lcmp::lcmpCallbacksList, function, opcode, data);
    return number != 0 ? lcmp::HandleOf(number) : nullptr;
}

int32_t LCMPCallBackUninstall(CallbackEntry *handle) {
    std::lock_guard lock(lcmp::DeliveryMutex());
    if (CallbackEntry *entry = lcmp::FindInstalled(lcmp::lcmpCallbacksList, lcmp::NumberOf(handle)))
        lcmp::CallbackDelete(lcmp::lcmpCallbacksList, entry);
    return LCMP_OK;
}

uintptr_t LCMPCallBackJavaUninstall(int32_t index) {
    CallbackData *data = nullptr;
    {
        std::lock_guard lock(lcmp::DeliveryMutex());
        CallbackList *list = lcmp::lcmpCallbacksList;
        if (list == nullptr || list->count == 0 || index < 0) return 0;
        // The positions of dropped registrations come first, as every live
        // one was made after them: they name nothing any more.
        if (index < lcmp::gDroppedJavaPositions) return 0;
        const int64_t live = index - lcmp::gDroppedJavaPositions;
        int64_t position = 0;
        for (CallbackEntry *e = list->first; e != nullptr; e = e->next) {
            if (!lcmp::TakesJavaPosition(e)) continue;
            if (position++ == live) {
                data = e->callbackData;
                lcmp::CallbackDelete(list, e);
                break;
            }
        }
    }
    if (data == nullptr) return 0;
    const uintptr_t owner = data->owner;
    CallbackDataDestroy(data);
    return owner;
}

void CallbacksExecute(const uint8_t *sourceMac, int32_t opcode, const uint8_t *payload, uint16_t payloadLength) {
    if (payload == nullptr) return;
    const auto area = lcmp::RecordArea(opcode, {payload, payloadLength});
    if (!area) return;  // wrong lead byte, unknown opcode, or a header that does not fit
    const int length = static_cast<int>(area->size());
    lcmp::Walk([opcode](const CallbackEntry &e) { return e.opcode == opcode; },
               [&](const CallbackEntry &e, CallbackData *data) { e.function(sourceMac, area->data(), length, data); });
}

}  // extern "C"
