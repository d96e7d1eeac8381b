// Driver for the per-frame cost under callgrind (bench/frame_cost.sh).
//
// usage: lcmp_frame_cost unsegmented|segmented4 FRAMES [PARTIAL [stepped]]
//
// Writes the frames to a pcap savefile, reads the savefile back into memory
// and feeds every frame to lcmp::HandleFrame with its recorded time, with a
// no-op callback installed for the frames' opcode. With PARTIAL, that many
// messages wait for a missing segment throughout (set up beforehand through
// the reassembly functions, not HandleFrame, so that callgrind's count of
// HandleFrame covers the measured frames alone). With "stepped", they are
// stamped a second after the replay's start: the capture clock steps back
// by a second at the first measured frame. Prints the number of
// frames fed; callgrind --toggle-collect='lcmp::HandleFrame*' counts the
// instructions of those calls.
#include <pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "netns_support.h"
#include "reassembly.h"

namespace {

using lcmptest::Bytes;
using lcmptest::FrameFields;

int Nothing(const uint8_t *, const uint8_t *, int, CallbackData *) { return 0; }

struct Captured {
    timeval time;
    Bytes bytes;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s unsegmented|segmented4 FRAMES [PARTIAL [stepped]]\n", argv[0]);
        return 2;
    }
    const bool segmented = std::strcmp(argv[1], "segmented4") == 0;
    const long frames = std::atol(argv[2]);
    const long partial = argc > 3 ? std::atol(argv[3]) : 0;
    const bool stepped = argc > 4 && std::strcmp(argv[4], "stepped") == 0;
    const Bytes records{0x00, 0x04, 0x00, 0x05, 0xF0, 0xF1, 0xF2};

    // The frames, 1 us apart, in a savefile.
    char path[] = "/tmp/lcmp_frame_cost_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    close(fd);
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, lcmp::kSnapshotLength);
    pcap_dumper_t *dump = pcap_dump_open(dead, path);
    if (dump == nullptr) return 1;
    const long base = 10;  // us past the partial messages' stamp
    for (long i = 0; i < frames; ++i) {
        Bytes frame;
        if (!segmented) {
            frame = lcmptest::LcmpFrame({}, lcmptest::Confirmation(records));
        } else {
            Bytes all;
            for (int r = 0; r < 4; ++r) all.insert(all.end(), records.begin(), records.end());
            const Bytes message = lcmptest::Confirmation(all);
            const std::size_t piece = (message.size() + 3) / 4;
            const long s = i % 4;
            const std::size_t from = s * piece, to = std::min(message.size(), from + piece);
            FrameFields f{.lastSegment = 3, .segment = static_cast<uint8_t>(s),
                          .sequence = static_cast<uint16_t>(i / 4)};
            f.source[5] = 0x77;  // never one of the partial messages' senders
            frame = lcmptest::LcmpFrame(f, Bytes(message.begin() + from, message.begin() + to));
        }
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + (base + i) / 1000000;
        h.ts.tv_usec = static_cast<suseconds_t>((base + i) % 1000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dump), &h, frame.data());
    }
    pcap_dump_close(dump);
    pcap_close(dead);

    // Replay: read the savefile back.
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *file = pcap_open_offline(path, err);
    if (file == nullptr) return 1;
    std::vector<Captured> replay;
    pcap_pkthdr *h = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(file, &h, &data) == 1) replay.push_back({h->ts, Bytes(data, data + h->caplen)});
    pcap_close(file);
    unlink(path);

    CallbackData *cbData = CallbackDataCreate(nullptr, 0, 0, nullptr);
    CallbackEntry *entry = LCMPCallBackInstall(Nothing, LCMP_READ_CNF, cbData);

    // Partial messages: first segments from distinct senders, stamped at the
    // replay's start (or a second later), so that they stay young throughout.
    lcmp::lastPacketTimestamp = {stepped ? 1700000001 : 1700000000, 0};
    for (long i = 0; i < partial; ++i) {
        uint8_t mac[6] = {0x02, 0, 0, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), 0x01};
        const uint8_t piece[] = {0x05};
        lcmp::SegmentedFrame *record = nullptr;
        if (lcmp::SegmentAdd(&lcmp::lcmpSegmentedFramesList, static_cast<uint8_t>(i), mac, LCMP_READ_CNF, piece, 0, 1,
                             &record) != 0)
            return 1;
    }

    long dispatched = 0;
    for (const Captured &c : replay)
        if (lcmp::HandleFrame(c.time, c.bytes) == lcmp::FrameOutcome::Dispatched) ++dispatched;

    const long held = lcmp::lcmpSegmentedFramesList != nullptr ? lcmp::lcmpSegmentedFramesList->count : 0;
    std::printf("frames %zu dispatched %ld partial_held %ld\n", replay.size(), dispatched, held);
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    LCMPCallBackUninstall(entry);
    CallbackDataDestroy(cbData);
    // Every partial message must still be held at the end, or the figure
    // would not be the cost with them present.
    return held == partial ? 0 : 3;
}
