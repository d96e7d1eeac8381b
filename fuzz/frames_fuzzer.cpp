// libFuzzer harness over the per-frame receive path: arbitrary frame bytes,
// sequences of frames, and capture times that move forwards, backwards, past
// 2038 and through odd microsecond values.
//
// Input: records of
//   int32  capture-time step in microseconds, least significant byte first
//   uint16 bits 0-11: frame length (cut to what is left); bit 12: report the
//          time with an unnormalised microsecond field (one second borrowed)
//   bytes  the frame
// After every frame the reassembly list is checked: its chains agree with its
// count, segments are held in strictly ascending order, every record holds
// fewer segments than its message has, and no record the ageing pass reached
// is older than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "reassembly.h"

namespace {

volatile uint32_t gSink;

// Reads every byte it is handed, so that the sanitizers see any read past a
// frame or a joined buffer.
int Touch(const uint8_t *mac, const uint8_t *records, int length, CallbackData *) {
    if (mac == nullptr || records == nullptr || length < 0) std::abort();
    uint32_t sum = 0;
    for (int i = 0; i < 6; ++i) sum += mac[i];
    for (int i = 0; i < length; ++i) sum += records[i];
    gSink = sum;
    return 0;
}

void NotifyTouch(LCMPValueList *list) {
    uint32_t sum = 0;
    for (const LCMPValue *v = list ? list->first : nullptr; v; v = v->next)
        for (uint16_t i = 0; i < v->length; ++i) sum += v->value[i];
    gSink = sum;
}

void Check(const timeval &now) {
    const lcmp::SegmentedFramesList *list = lcmp::lcmpSegmentedFramesList;
    if (list == nullptr) return;
    std::size_t records = 0;
    bool walkStopped = false;
    for (const lcmp::SegmentedFrame *f = list->first; f; f = f->next) {
        ++records;
        std::size_t segments = 0;
        int previous = -1;
        for (const lcmp::Segment *s = f->segments; s; s = s->next, ++segments) {
            if (s->segmentNumber <= previous || s->segmentNumber > 15) std::abort();
            previous = s->segmentNumber;
        }
        if (segments != f->segmentCount || segments == 0) std::abort();
        // A held record is incomplete: a complete one was joined, and a
        // segment of another last-segment number replaced it.
        if (segments > f->lastSegment) std::abort();
        if (f->next == nullptr && list->last != f) std::abort();
        // The ageing pass stops at the first record stamped after now.
        timeval x = now, y = f->timestamp, elapsed{};
        if (!walkStopped && lcmp::timeval_subtract(&x, &y, &elapsed) != 0) walkStopped = true;
        if (!walkStopped && (elapsed.tv_sec > 0 || elapsed.tv_usec > lcmp::kAgeLimitMicroseconds)) std::abort();
    }
    if (static_cast<uint16_t>(records) != list->count) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (int32_t opcode = lcmp::kFirstOpcode; opcode <= lcmp::kLastOpcode; ++opcode)
        LCMPCallBackInstall(Touch, opcode, CallbackDataCreate(nullptr, 0, 0, nullptr));
    LCMPNotify(nullptr, LCMP_DESTINATION_BROADCAST, nullptr, NotifyTouch, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    lcmp::ByteReader in(std::span<const uint8_t>(data, size));
    // Start past the 32-bit second boundary.
    int64_t clock = (int64_t{1} << 32) * 1000000 + 123456;
    while (in.remaining() >= 6) {
        const auto lo = in.le16(), hi = in.le16(), word = in.le16();
        const int32_t step = static_cast<int32_t>(static_cast<uint32_t>(*lo) | (static_cast<uint32_t>(*hi) << 16));
        clock += step;
        if (clock < 0) clock = 0;
        const std::size_t wanted = *word & 0x0FFF;
        const auto frame = in.take(wanted < in.remaining() ? wanted : in.remaining());
        timeval now{static_cast<time_t>(clock / 1000000), static_cast<suseconds_t>(clock % 1000000)};
        if ((*word & 0x1000) != 0 && now.tv_sec > 0) {
            now.tv_sec -= 1;
            now.tv_usec += 1000000;
        }
        lcmp::HandleFrame(now, *frame);
        Check(now);
    }
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    lcmp::lastPacketTimestamp = {};
    return 0;
}
