// Segment reassembly (part of module LCMP_socket): the segments of each
// message are held in ascending order in one frame record, joined when all
// have arrived, and records that waited more than 50 000 microseconds of
// capture time are dropped (before the next frame is handled, so such a
// record never joins a later segment), as are the least recently stamped ones while the
// records hold more than kReassemblyByteLimit bytes. Only the thread that
// feeds frames (HandleFrame) uses this state, so it has no lock; the counters
// of LCMPReassemblyStatsGet are atomics that any thread may read.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <span>

#include "LCMP_comm.h"

namespace lcmp {

// Capture timestamps keep the platform's 64-bit seconds (ageing across 2038).
// Windows' timeval, which its capture library hands over, has 32-bit seconds;
// the ageing arithmetic widens them to 64 bits all the same.
#ifndef _WIN32
static_assert(sizeof(timeval{}.tv_sec) >= 8, "timeval needs 64-bit seconds");
#endif

inline constexpr long kAgeLimitMicroseconds = 50000;
// Memory held by records and segments (with their bookkeeping) at most.
inline constexpr std::size_t kReassemblyByteLimit = LCMP_REASSEMBLY_BYTE_LIMIT;

// One received segment; owns its copy of the payload bytes, which lie in the
// same allocation right after the record (one allocation per segment).
struct Segment {
    uint16_t length = 0;
    uint8_t *data = nullptr;
    uint8_t segmentNumber = 0;
    Segment *next = nullptr;  // next higher segment number
};

// One message under reassembly, keyed by (sequenceLow, sourceMac, opcode).
struct SegmentedFrame {
    uint8_t sequenceLow = 0;
    uint8_t lastSegment = 0;  // last-segment number its segments carry
    uint8_t sourceMac[6] = {};
    uint16_t opcode = 0;
    timeval timestamp{};  // capture time of creation or of the last accepted segment
    Segment *segments = nullptr;
    uint8_t segmentCount = 0;
    SegmentedFrame *next = nullptr;  // creation order
    SegmentedFrame *previous = nullptr;

    // Index links: the chain of the record's hash bucket, and the order in
    // which timestamps were last set (oldest first), which lets ageing stop
    // at the first record still young enough.
    SegmentedFrame *bucketNext = nullptr;
    SegmentedFrame *ageNext = nullptr;
    SegmentedFrame *agePrevious = nullptr;
    // Records of equal age stamp form a run of the age chain; the first of
    // each run holds the stamp (microseconds of capture time) and the links
    // between runs.
    bool runHead = false;
    int64_t ageStamp = 0;
    SegmentedFrame *runNext = nullptr;
    SegmentedFrame *runPrevious = nullptr;
    std::size_t bytes = 0;  // memory held by the record and its segments
};

inline constexpr std::size_t kSegmentedFrameBuckets = 1024;

struct SegmentedFramesList {
    uint16_t count = 0;
    SegmentedFrame *first = nullptr;  // oldest created
    SegmentedFrame *last = nullptr;

    SegmentedFrame *buckets[kSegmentedFrameBuckets] = {};
    SegmentedFrame *ageFirst = nullptr;  // least recently stamped
    SegmentedFrame *ageLast = nullptr;
    std::size_t bytes = 0;  // memory held by all records

    SegmentedFrame *runFirst = nullptr;  // heads of the age chain's runs
    SegmentedFrame *runLast = nullptr;

    // Where FrameJoin puts complete messages for dispatch, reused from one
    // message to the next; it grows to the longest message joined.
    Buffer joined;
    std::size_t joinedCapacity = 0;
    bool joinedInUse = false;  // a dispatch from it is running
};

// Capture time of the frame being handled; zero at load time.
extern timeval lastPacketTimestamp;
// Messages under reassembly; null until the first segment arrives.
extern SegmentedFramesList *lcmpSegmentedFramesList;

// x - y into result and 0, or -1 when x is earlier than y (result then
// unwritten). y is normalised in place; the instant it denotes is kept.
int timeval_subtract(timeval *x, timeval *y, timeval *result) noexcept;

SegmentedFramesList *SegmentedFramesListCreate() noexcept;
int32_t SegmentedFramesListDestroy(SegmentedFramesList **listPointer) noexcept;
SegmentedFrame *SegmentedFrameCreate(SegmentedFramesList *list, uint8_t sequenceLow,
                                     std::span<const uint8_t, 6> sourceMac, uint16_t opcode) noexcept;
SegmentedFrame *SegmentedFrameOpen(SegmentedFramesList *list, uint8_t sequenceLow,
                                   std::span<const uint8_t, 6> sourceMac, uint16_t opcode) noexcept;
int32_t SegmentedFrameDestroy(SegmentedFrame *frame) noexcept;
int32_t SegmentedFrameDelete(SegmentedFramesList *list, SegmentedFrame *frame) noexcept;
// 0 (also for a copy of a held segment: same number, same bytes, not
// stored), kOtherMessage when a segment of that number with other bytes is
// held (nothing stored), or -14.
inline constexpr int32_t kOtherMessage = 1;
int32_t SegmentOnSegmentedFrameInsert(SegmentedFramesList *list, SegmentedFrame *frame, uint8_t segmentNumber,
                                      std::span<const uint8_t> payload) noexcept;
// Stores one received segment of a message of lastSegment + 1 segments;
// *frameOut gets its record. A held record of the same key that cannot be
// this segment's message (another last-segment number, or other bytes under
// this segment number) is dropped first and the segment starts a new record:
// keys are reused (devices answer with the request's sequence number), and
// joining the two would deliver a message made of both. 0 or -14.
int32_t SegmentAdd(SegmentedFramesList **listPointer, uint8_t sequenceLow, std::span<const uint8_t, 6> sourceMac,
                   uint16_t opcode, std::span<const uint8_t> payload, uint8_t segmentNumber, uint8_t lastSegment,
                   SegmentedFrame **frameOut) noexcept;
// Joins the record's segments into a new buffer (*bufferOut, owned by the
// caller) and removes the record. 0 (*lengthOut 0 and nothing written for a
// null record), or -14 when the buffer cannot be allocated: the record is
// then removed as well and nothing is written.
int32_t FrameExtract(SegmentedFramesList *list, SegmentedFrame *frame, uint16_t *lengthOut,
                     Buffer *bufferOut) noexcept;
// Joins the record's segments into the list's own buffer and removes the
// record; *message views the bytes until the next join. For the receive
// path, which dispatches the message and is done with it. 0, or -14 (the
// record is removed and *message left empty).
int32_t FrameJoin(SegmentedFramesList *list, SegmentedFrame *frame, std::span<const uint8_t> *message) noexcept;

// Ageing: removes every record stamped more than 50 000 microseconds of
// capture time before the module clock. Records stamped after the module
// clock (it stepped back) are reported, -13 with a message, and count from
// then on as stamped at the module clock, so the message comes once per step.
// 0 otherwise.
int32_t SegmentedFramesListClean(SegmentedFramesList *list) noexcept;

}  // namespace lcmp
