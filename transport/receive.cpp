// The receive path of one captured frame: decode, reassemble, dispatch, age.
// The live loop, savefile replay, tests, benchmarks and the fuzzer all feed
// frames through HandleFrame.
#include <pcap.h>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "reassembly.h"

namespace lcmp {

void HandleFrame(const timeval &captureTime, std::span<const uint8_t> frame) noexcept {
    lastPacketTimestamp = captureTime;

    if (const auto received = FrameDecode(frame)) {
        const LCMPLinkHeader &h = received->header;
        if (h.lastSegment == 0) {
            // Dispatched in place: the payload stays in the capture buffer.
            CallbacksExecute(received->source.data(), h.opcode, received->payload.data(), h.payloadLength);
        } else {
            SegmentedFrame *record = nullptr;
            if (SegmentAdd(&lcmpSegmentedFramesList, static_cast<uint8_t>(h.sequence & 0xFF), received->source,
                           h.opcode, received->payload, h.segmentNumber, &record) == 0 &&
                record != nullptr && record->segmentCount == h.lastSegment + 1) {
                uint16_t length = 0;
                Buffer joined;
                if (FrameExtract(lcmpSegmentedFramesList, record, &length, &joined) == 0)
                    CallbacksExecute(received->source.data(), h.opcode, joined.get(), length);
            }
        }
    }
    // Ageing after every captured frame, whatever it held; its result only
    // says whether a record was stamped after this frame.
    SegmentedFramesListClean(lcmpSegmentedFramesList);
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
