// The receive path of one captured frame: age, decode, reassemble, dispatch.
// The live loop, savefile replay, tests, benchmarks and the fuzzer all feed
// frames through HandleFrame.
#include <pcap.h>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "reassembly.h"
#include "transaction.h"

namespace lcmp {

namespace {

// What one frame amounts to, before ageing.
FrameOutcome Process(std::span<const uint8_t> frame, MessageSink sink, void *context) noexcept {
    const auto received = FrameDecode(frame);
    if (!received) {
        // An LCMP frame whose payload runs past the captured bytes is dropped;
        // anything else is not ours.
        const bool lcmp = frame.size() > kFrameHeaderSize && frame[12] == (kEthertype >> 8) &&
                          frame[13] == (kEthertype & 0xFF);
        return lcmp ? FrameOutcome::Dropped : FrameOutcome::Ignored;
    }
    const LCMPLinkHeader &h = received->header;
    ReceivedMessage message{received->destination, received->source, h.opcode, h.sequence, received->payload};
    if (h.lastSegment == 0) {
        // Handed on in place: the payload stays in the capture buffer.
        sink(message, context);
        return FrameOutcome::Dispatched;
    }
    SegmentedFrame *record = nullptr;
    if (SegmentAdd(&lcmpSegmentedFramesList, static_cast<uint8_t>(h.sequence & 0xFF), received->source, h.opcode,
                   received->payload, h.segmentNumber, h.lastSegment, &record) != 0 ||
        record == nullptr)
        return FrameOutcome::OutOfMemory;
    if (record->segmentCount != h.lastSegment + 1) return FrameOutcome::Held;
    SegmentedFramesList *list = lcmpSegmentedFramesList;
    if (list->joinedInUse) {
        // A callback fed this frame while a joined message is being
        // dispatched from the list's buffer: this one gets a buffer of its own.
        uint16_t length = 0;
        Buffer joined;
        if (FrameExtract(list, record, &length, &joined) != 0) return FrameOutcome::OutOfMemory;
        message.payload = std::span<const uint8_t>(joined.get(), length);
        sink(message, context);
        return FrameOutcome::Dispatched;
    }
    if (FrameJoin(list, record, &message.payload) != 0) return FrameOutcome::OutOfMemory;
    list->joinedInUse = true;
    sink(message, context);
    // The list outlives the dispatch: only the end of the receive loop, on
    // this thread, destroys it.
    list->joinedInUse = false;
    return FrameOutcome::Dispatched;
}

}  // namespace

void MessageDispatch(const ReceivedMessage &message, void * /*context*/) noexcept {
    // A request waiting for this answer gets its records first; the
    // registered callbacks of the opcode get the message as always.
    AnswerOffered(message.source.data(), message.opcode, message.sequence, message.payload);
    CallbacksExecute(message.source.data(), message.opcode, message.payload.data(),
                     static_cast<uint16_t>(message.payload.size()));
}

FrameOutcome HandleFrame(const timeval &captureTime, std::span<const uint8_t> frame, MessageSink sink,
                         void *context) noexcept {
    lastPacketTimestamp = captureTime;
    // Ageing for every captured frame, whatever it holds, and before it is
    // handled: a partial message that waited more than the limit is gone
    // before a segment of a later message with the same key could join it.
    // Its result only says whether a record was stamped after this frame.
    SegmentedFramesListClean(lcmpSegmentedFramesList);
    return Process(frame, sink, context);
}

FrameOutcome HandleFrame(const timeval &captureTime, std::span<const uint8_t> frame) noexcept {
    return HandleFrame(captureTime, frame, MessageDispatch, nullptr);
}

int32_t ReplaySavefile(const char *path) noexcept {
    if (path == nullptr || ReceiveThreadActive()) return LCMP_ERROR_BAD_ARGS;
    char errorText[PCAP_ERRBUF_SIZE];
    pcap_t *file = pcap_open_offline(path, errorText);
    if (file == nullptr) return -1;
    if (pcap_datalink(file) != DLT_EN10MB) {
        pcap_close(file);
        return -1;
    }
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(file, &header, &data) == 1)
        HandleFrame(header->ts, std::span<const uint8_t>(data, header->caplen));
    pcap_close(file);
    SegmentedFramesListDestroy(&lcmpSegmentedFramesList);
    return 0;
}

}  // namespace lcmp

extern "C" int32_t LCMPFrameProcess(const uint8_t *frame, uint32_t length, int64_t seconds, int32_t microseconds) {
    if (frame == nullptr || lcmp::ReceiveThreadActive()) return LCMP_ERROR_BAD_ARGS;
    timeval captured{};
    captured.tv_sec = static_cast<decltype(captured.tv_sec)>(seconds);
    captured.tv_usec = static_cast<decltype(captured.tv_usec)>(microseconds);
    return static_cast<int32_t>(lcmp::HandleFrame(captured, std::span<const uint8_t>(frame, length)));
}
