// Segment reassembly: frame records keyed by (low byte of the sequence
// number, sender, opcode), each holding its segments in ascending order.
//
// Time is the capture clock: the timestamp of the frame being handled, never
// the system clock. Records are chained in creation order, which is the order
// of the ageing walk. Two indexes keep the per-frame cost independent of the
// number of partial messages in the common case:
//  - a hash of the key finds a record without walking the chain;
//  - the age chain orders records by the moment their timestamp was last set,
//    and ageing judges each by its age stamp: its timestamp in microseconds
//    (whatever the representation), kept no earlier than the stamp of the
//    record before it. When the capture clock steps back (an NTP step, a
//    reordered or unnormalised savefile), the records stamped after the new
//    time are treated as stamped at it: they age from there, and are gone
//    50 ms of capture time later. Records stamped before it keep their
//    stamps. Age stamps thus never decrease along the chain, the expired
//    records are always its oldest ones, and ageing stops at the first
//    survivor, whatever the timestamps do.
//    Records with equal age stamps form a run, whose first record holds the
//    stamp; a step back merges the runs stamped after the new time into one,
//    which costs one step per run merged, and each run is created by one
//    stamping: O(1) amortised per frame.
// The memory the records hold is bounded as well: past kReassemblyByteLimit
// the least recently stamped records are dropped, as the kernel does with IP
// fragments.
#include "reassembly.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace lcmp {

timeval lastPacketTimestamp{};
SegmentedFramesList *lcmpSegmentedFramesList = nullptr;

namespace {

constexpr long kMicroPerSecond = 1000000;
// Capture times are clamped to +-2^62 us (146 000 years) so that their
// differences fit.
constexpr int64_t kCaptureLimit = int64_t{1} << 62;

// What a host reads with LCMPReassemblyStatsGet. Only the feeding thread
// writes them, so a load and a store replace the read-modify-write.
struct Counters {
    std::atomic<uint64_t> droppedByAge{0};
    std::atomic<uint64_t> droppedByByteLimit{0};
    std::atomic<uint64_t> bytesHeld{0};
    std::atomic<uint64_t> messagesHeld{0};
};
Counters gCounters;

void Bump(std::atomic<uint64_t> &counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
void Publish(const SegmentedFramesList &list) noexcept {
    gCounters.bytesHeld.store(list.bytes, std::memory_order_relaxed);
    gCounters.messagesHeld.store(list.count, std::memory_order_relaxed);
}

// Records and segments come from the allocation seam.
template <typename T>
T *Construct() noexcept {
    void *p = Allocate(sizeof(T));
    return p == nullptr ? nullptr : new (p) T{};
}
template <typename T>
void Destruct(T *p) noexcept {
    if (p == nullptr) return;
    p->~T();
    Release(p);
}

// The instant a timestamp denotes, in microseconds, however its fields are
// represented.
int64_t Microseconds(const timeval &t) noexcept {
    const auto seconds = static_cast<int64_t>(t.tv_sec), micro = static_cast<int64_t>(t.tv_usec);
    constexpr int64_t kSeconds = int64_t{1} << 41, kMicro = int64_t{1} << 61;  // the sum stays within the clamp
    if (static_cast<uint64_t>(seconds + kSeconds) < 2 * kSeconds && static_cast<uint64_t>(micro + kMicro) < 2 * kMicro)
        return seconds * kMicroPerSecond + micro;
    int64_t total = 0;
    if (__builtin_mul_overflow(seconds, int64_t{kMicroPerSecond}, &total))
        return seconds < 0 ? -kCaptureLimit : kCaptureLimit;
    if (__builtin_add_overflow(total, micro, &total)) return micro < 0 ? -kCaptureLimit : kCaptureLimit;
    return std::clamp(total, -kCaptureLimit, kCaptureLimit);
}


std::size_t BucketOf(uint8_t sequenceLow, std::span<const uint8_t, 6> mac, uint16_t opcode) noexcept {
    uint32_t h = 2166136261u;  // FNV-1a over the key bytes
    const auto mix = [&h](uint8_t b) { h = (h ^ b) * 16777619u; };
    mix(sequenceLow);
    for (uint8_t b : mac) mix(b);
    mix(static_cast<uint8_t>(opcode));
    mix(static_cast<uint8_t>(opcode >> 8));
    return h & (kSegmentedFrameBuckets - 1);
}

bool KeyEquals(const SegmentedFrame &f, uint8_t sequenceLow, std::span<const uint8_t, 6> mac,
               uint16_t opcode) noexcept {
    return f.sequenceLow == sequenceLow && f.opcode == opcode && std::memcmp(f.sourceMac, mac.data(), 6) == 0;
}

// Links `head` into the chain of runs in place of `old` (null: at the end).
void RunReplace(SegmentedFramesList *list, SegmentedFrame *old, SegmentedFrame *head) noexcept {
    head->runHead = true;
    head->runPrevious = old ? old->runPrevious : list->runLast;
    head->runNext = old ? old->runNext : nullptr;
    (head->runPrevious ? head->runPrevious->runNext : list->runFirst) = head;
    (head->runNext ? head->runNext->runPrevious : list->runLast) = head;
}

void AgeUnlink(SegmentedFramesList *list, SegmentedFrame *frame) noexcept {
    if (frame->runHead) {
        SegmentedFrame *next = frame->ageNext;
        if (next != nullptr && !next->runHead) {
            next->ageStamp = frame->ageStamp;  // the next record heads the run now
            RunReplace(list, frame, next);
        } else {
            (frame->runPrevious ? frame->runPrevious->runNext : list->runFirst) = frame->runNext;
            (frame->runNext ? frame->runNext->runPrevious : list->runLast) = frame->runPrevious;
        }
        frame->runHead = false;
        frame->runPrevious = frame->runNext = nullptr;
    }
    (frame->ageNext ? frame->ageNext->agePrevious : list->ageLast) = frame->agePrevious;
    (frame->agePrevious ? frame->agePrevious->ageNext : list->ageFirst) = frame->ageNext;
    frame->ageNext = frame->agePrevious = nullptr;
}

// Moves a freshly stamped record to the young end of the age chain, with an
// age reading no earlier than the one before it.
void AgeStamp(SegmentedFramesList *list, SegmentedFrame *frame) noexcept {
    const int64_t stamp = Microseconds(frame->timestamp);
    if (frame == list->ageLast && frame == list->runLast && stamp >= frame->ageStamp) {
        frame->ageStamp = stamp;  // alone in the last run: it stays there (the next segment of the last message)
        return;
    }
    if (list->ageFirst == frame || frame->agePrevious != nullptr) AgeUnlink(list, frame);
    frame->agePrevious = list->ageLast;
    (list->ageLast ? list->ageLast->ageNext : list->ageFirst) = frame;
    list->ageLast = frame;
    // Joins the last run when no later than its stamp; a record stamped at an
    // earlier time than the one before it waits for the next ageing pass.
    if (list->runLast != nullptr && stamp <= list->runLast->ageStamp) return;
    frame->ageStamp = stamp;
    RunReplace(list, nullptr, frame);
}

void BucketUnlink(SegmentedFramesList *list, SegmentedFrame *frame) noexcept {
    SegmentedFrame **link =
        &list->buckets[BucketOf(frame->sequenceLow, std::span<const uint8_t, 6>(frame->sourceMac), frame->opcode)];
    while (*link != nullptr && *link != frame) link = &(*link)->bucketNext;
    if (*link == frame) *link = frame->bucketNext;
    frame->bucketNext = nullptr;
}

// Drops the least recently stamped records, never `keep`, until the records
// hold no more than the limit.
void ByteLimitEnforce(SegmentedFramesList *list, const SegmentedFrame *keep) noexcept {
    while (list->bytes > kReassemblyByteLimit && list->ageFirst != nullptr && list->ageFirst != keep) {
        SegmentedFrameDelete(list, list->ageFirst);
        Bump(gCounters.droppedByByteLimit);
    }
}

}  // namespace

// The module clock: the capture time of the frame being handled. It shares
// its name with the system call but has internal linkage and is always called
// qualified, so the rest of the process keeps the system's gettimeofday.
static int gettimeofday(timeval *tv, void * /*ignored*/) noexcept {
    tv->tv_sec = lastPacketTimestamp.tv_sec;
    tv->tv_usec = lastPacketTimestamp.tv_usec;
    return 0;
}

int timeval_subtract(timeval *x, timeval *y, timeval *result) noexcept {
    if (x->tv_usec < y->tv_usec) {
        const long n = (y->tv_usec - x->tv_usec) / kMicroPerSecond + 1;
        y->tv_usec -= kMicroPerSecond * n;
        y->tv_sec += n;
    }
    if (x->tv_usec - y->tv_usec > kMicroPerSecond) {
        const long n = (x->tv_usec - y->tv_usec) / kMicroPerSecond;
        y->tv_usec += kMicroPerSecond * n;
        y->tv_sec -= n;
    }
    if (x->tv_sec < y->tv_sec) return -1;
    result->tv_sec = x->tv_sec - y->tv_sec;
    result->tv_usec = x->tv_usec - y->tv_usec;
    return 0;
}

SegmentedFramesList *SegmentedFramesListCreate() noexcept { return Construct<SegmentedFramesList>(); }

int32_t SegmentedFramesListDestroy(SegmentedFramesList **listPointer) noexcept {
    if (listPointer == nullptr || *listPointer == nullptr) return 0;
    SegmentedFramesList *list = *listPointer;
    while (list->first != nullptr) SegmentedFrameDelete(list, list->first);
    Destruct(list);
    *listPointer = nullptr;
    return 0;
}

SegmentedFrame *SegmentedFrameCreate(SegmentedFramesList *list, uint8_t sequenceLow,
                                     std::span<const uint8_t, 6> sourceMac, uint16_t opcode) noexcept {
    auto *frame = Construct<SegmentedFrame>();
    if (frame == nullptr) return nullptr;
    frame->sequenceLow = sequenceLow;
    std::memcpy(frame->sourceMac, sourceMac.data(), 6);
    frame->opcode = opcode;
    frame->bytes = sizeof(SegmentedFrame);
    lcmp::gettimeofday(&frame->timestamp, nullptr);

    frame->previous = list->last;
    (list->last ? list->last->next : list->first) = frame;
    list->last = frame;
    SegmentedFrame *&bucket = list->buckets[BucketOf(sequenceLow, sourceMac, opcode)];
    frame->bucketNext = bucket;
    bucket = frame;
    AgeStamp(list, frame);
    ++list->count;
    list->bytes += frame->bytes;
    Publish(*list);
    return frame;
}

SegmentedFrame *SegmentedFrameOpen(SegmentedFramesList *list, uint8_t sequenceLow,
                                   std::span<const uint8_t, 6> sourceMac, uint16_t opcode) noexcept {
    if (list == nullptr) return nullptr;
    // At most one record exists per key, so the bucket finds the same record
    // as a walk of the whole chain would.
    for (SegmentedFrame *f = list->buckets[BucketOf(sequenceLow, sourceMac, opcode)]; f; f = f->bucketNext)
        if (KeyEquals(*f, sequenceLow, sourceMac, opcode)) return f;
    return SegmentedFrameCreate(list, sequenceLow, sourceMac, opcode);
}

int32_t SegmentedFrameDestroy(SegmentedFrame *frame) noexcept {
    if (frame == nullptr) return 0;
    for (Segment *s = frame->segments; s != nullptr;) {
        Segment *next = s->next;
        Destruct(s);
        s = next;
    }
    Destruct(frame);
    return 0;
}

int32_t SegmentedFrameDelete(SegmentedFramesList *list, SegmentedFrame *frame) noexcept {
    if (list == nullptr || frame == nullptr) return 0;
    (frame->next ? frame->next->previous : list->last) = frame->previous;
    (frame->previous ? frame->previous->next : list->first) = frame->next;
    BucketUnlink(list, frame);
    AgeUnlink(list, frame);
    --list->count;
    list->bytes -= frame->bytes;
    Publish(*list);
    return SegmentedFrameDestroy(frame);
}

int32_t SegmentOnSegmentedFrameInsert(SegmentedFramesList *list, SegmentedFrame *frame, uint8_t segmentNumber,
                                      std::span<const uint8_t> payload) noexcept {
    if (frame == nullptr) return 0;
    Segment **link = &frame->segments;
    for (; *link != nullptr; link = &(*link)->next) {
        if ((*link)->segmentNumber == segmentNumber) {
            // A copy of the held segment is kept out, stamp unchanged; other
            // bytes under the same number belong to another message.
            const Segment &held = **link;
            const bool copy = held.length == payload.size() &&
                              (payload.empty() || std::memcmp(held.data, payload.data(), payload.size()) == 0);
            return copy ? 0 : kOtherMessage;
        }
        if ((*link)->segmentNumber > segmentNumber) break;
    }
    void *block = Allocate(sizeof(Segment) + payload.size());
    if (block == nullptr) return LCMP_ERROR_MALLOC;
    auto *segment = new (block) Segment{};
    segment->data = reinterpret_cast<uint8_t *>(segment + 1);
    segment->segmentNumber = segmentNumber;
    segment->length = static_cast<uint16_t>(payload.size());
    if (!payload.empty()) std::memcpy(segment->data, payload.data(), payload.size());
    segment->next = *link;
    *link = segment;

    ++frame->segmentCount;
    frame->bytes += sizeof(Segment) + payload.size();
    lcmp::gettimeofday(&frame->timestamp, nullptr);
    if (list != nullptr) {
        list->bytes += sizeof(Segment) + payload.size();
        Publish(*list);
        AgeStamp(list, frame);
    }
    return 0;
}

int32_t SegmentAdd(SegmentedFramesList **listPointer, uint8_t sequenceLow, std::span<const uint8_t, 6> sourceMac,
                   uint16_t opcode, std::span<const uint8_t> payload, uint8_t segmentNumber, uint8_t lastSegment,
                   SegmentedFrame **frameOut) noexcept {
    *frameOut = nullptr;
    if (*listPointer == nullptr) {
        *listPointer = SegmentedFramesListCreate();
        if (*listPointer == nullptr) return LCMP_ERROR_MALLOC;
    }
    SegmentedFramesList *list = *listPointer;
    SegmentedFrame *frame = SegmentedFrameOpen(list, sequenceLow, sourceMac, opcode);
    if (frame == nullptr) return LCMP_ERROR_MALLOC;
    if (frame->segmentCount == 0) frame->lastSegment = lastSegment;
    int32_t result = frame->lastSegment == lastSegment ? SegmentOnSegmentedFrameInsert(list, frame, segmentNumber, payload)
                                                       : kOtherMessage;
    if (result == kOtherMessage) {
        // Another message under the same key: the held one can no longer
        // complete as itself, and this segment must not join it.
        SegmentedFrameDelete(list, frame);
        frame = SegmentedFrameCreate(list, sequenceLow, sourceMac, opcode);
        if (frame == nullptr) return LCMP_ERROR_MALLOC;
        frame->lastSegment = lastSegment;
        result = SegmentOnSegmentedFrameInsert(list, frame, segmentNumber, payload);
    }
    *frameOut = frame;
    ByteLimitEnforce(list, frame);
    return result;
}

namespace {

std::size_t JoinedLength(const SegmentedFrame &frame) noexcept {
    std::size_t total = 0;
    for (const Segment *s = frame.segments; s != nullptr; s = s->next) total += s->length;
    return total;
}

// Copies the segments one after another, in ascending segment number.
void CopySegments(const SegmentedFrame &frame, uint8_t *out) noexcept {
    for (const Segment *s = frame.segments; s != nullptr; s = s->next) {
        if (s->length != 0) std::memcpy(out, s->data, s->length);
        out += s->length;
    }
}

}  // namespace

int32_t FrameExtract(SegmentedFramesList *list, SegmentedFrame *frame, uint16_t *lengthOut,
                     Buffer *bufferOut) noexcept {
    *lengthOut = 0;
    if (frame == nullptr) return 0;
    const std::size_t total = JoinedLength(*frame);
    Buffer joined = AllocateBuffer(total);
    if (!joined) {
        SegmentedFrameDelete(list, frame);
        return LCMP_ERROR_MALLOC;
    }
    CopySegments(*frame, joined.get());
    *lengthOut = static_cast<uint16_t>(total);
    *bufferOut = std::move(joined);
    return SegmentedFrameDelete(list, frame);
}

int32_t FrameJoin(SegmentedFramesList *list, SegmentedFrame *frame, std::span<const uint8_t> *message) noexcept {
    *message = {};
    if (list == nullptr || frame == nullptr) return 0;
    const std::size_t total = JoinedLength(*frame);
    if (total > list->joinedCapacity) {
        Buffer larger = AllocateBuffer(total);
        if (!larger) {
            SegmentedFrameDelete(list, frame);
            return LCMP_ERROR_MALLOC;
        }
        list->joined = std::move(larger);
        list->joinedCapacity = total;
    }
    CopySegments(*frame, list->joined.get());
    *message = std::span<const uint8_t>(list->joined.get(), total);
    return SegmentedFrameDelete(list, frame);
}

int32_t SegmentedFramesListClean(SegmentedFramesList *list) noexcept {
    timeval now{};
    lcmp::gettimeofday(&now, nullptr);
    if (list == nullptr) return 0;
    const int64_t capture = Microseconds(now);
    int32_t result = 0;
    SegmentedFrame *run = list->runLast;
    if (run != nullptr && run->ageStamp > capture) {
        // Records stamped after now: the capture clock stepped back. Their
        // runs become one, stamped now, so they age from here on.
        std::fprintf(stderr, "Error: negative elapsed time!\n");
        result = LCMP_ERROR_BAD_ARGS;
        while (run->runPrevious != nullptr && run->runPrevious->ageStamp > capture) {
            SegmentedFrame *earlier = run->runPrevious;
            earlier->runNext = nullptr;
            list->runLast = earlier;
            run->runHead = false;
            run->runPrevious = nullptr;
            run = earlier;
        }
        run->ageStamp = capture;
    }
    // Stamps never decrease along the age chain: the expired records are its
    // oldest ones.
    while (list->runFirst != nullptr && capture - list->runFirst->ageStamp > kAgeLimitMicroseconds) {
        SegmentedFrameDelete(list, list->ageFirst);
        Bump(gCounters.droppedByAge);
    }
    return result;
}

}  // namespace lcmp

extern "C" int32_t LCMPReassemblyStatsGet(LCMPReassemblyStats *stats) {
    if (stats == nullptr) return LCMP_ERROR_BAD_ARGS;
    const auto &c = lcmp::gCounters;
    stats->droppedByAge = c.droppedByAge.load(std::memory_order_relaxed);
    stats->droppedByByteLimit = c.droppedByByteLimit.load(std::memory_order_relaxed);
    stats->bytesHeld = c.bytesHeld.load(std::memory_order_relaxed);
    stats->messagesHeld = c.messagesHeld.load(std::memory_order_relaxed);
    return LCMP_OK;
}
