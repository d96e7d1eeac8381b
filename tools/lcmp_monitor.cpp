// lcmp-monitor: prints every complete LCMP message, live from an adapter
// (-i, through an LCMPInit session) or from a capture file (-r, through the
// library's per-frame path, without privileges). Segmented messages are shown
// once reassembled. -c N stops after N messages; Ctrl-C ends the session
// cleanly.
#include <getopt.h>
#include <pcap/pcap.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "lcmp.h"
#include "lcmp_tool_common.h"
#include "lcmp_tool_platform.h"

namespace {

// -c: up to 2^40 messages, or as many as a long counts (Windows: 2^31 - 1).
constexpr long kMaxCount = static_cast<long>(std::min<long long>(1LL << 40, std::numeric_limits<long>::max()));

std::atomic<long> gMessages{0};
std::atomic<long> gLimit{0};
volatile std::sig_atomic_t gInterrupted = 0;
std::mutex gOutput;
timeval gReplayTime{};  // capture time of the frame being replayed
bool gReplaying = false;

std::string Timestamp(const timeval &tv) {
    char date[32];
    const std::tm tm = lcmptools::UtcTime(tv.tv_sec);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%06ld", date, static_cast<long>(tv.tv_usec));
    return out;
}

// The registry calls this with the record area of each message of `opcode`.
int Print(const uint8_t *source, const uint8_t *records, int length, CallbackData *, int opcode) {
    timeval when{};
    if (gReplaying) when = gReplayTime;
    else gettimeofday(&when, nullptr);
    std::lock_guard lock(gOutput);
    std::printf("%s  from %s  opcode 0x%03X %s  record area %d bytes\n", Timestamp(when).c_str(),
                lcmptools::Mac(source).c_str(), opcode, lcmptools::OpcodeName(opcode), length);
    int at = 0;
    while (length - at >= 3) {
        const int type = records[at];
        const int size = records[at + 1] | (records[at + 2] << 8);
        if (size > length - at - 3) {
            std::printf("  malformed: record at offset %d (type %d) claims %d bytes, %d left\n", at, type, size,
                        length - at - 3);
            break;
        }
        std::printf("  type %d (%s) length %d: %s\n", type, lcmptools::RecordTypeName(type), size,
                    lcmptools::Hex(records + at + 3, static_cast<std::size_t>(size)).c_str());
        at += size + 3;
    }
    if (at < length && length - at < 3) std::printf("  %d trailing byte(s) ignored\n", length - at);
    std::fflush(stdout);
    gMessages.fetch_add(1);
    return 0;
}

template <int Opcode>
int PrintOpcode(const uint8_t *source, const uint8_t *records, int length, CallbackData *data) {
    return Print(source, records, length, data, Opcode);
}

constexpr LCMPCallBackFunction kPrinters[] = {PrintOpcode<352>, PrintOpcode<353>, PrintOpcode<354>, PrintOpcode<355>,
                                             PrintOpcode<356>, PrintOpcode<357>, PrintOpcode<358>, PrintOpcode<359>};

bool InstallPrinters() {
    for (int i = 0; i < 8; ++i)
        if (LCMPCallBackInstall(kPrinters[i], LCMP_READ_REQ + i, nullptr) == nullptr) return false;
    return true;
}

bool LimitReached() { return gLimit > 0 && gMessages.load() >= gLimit; }

int Replay(const char *path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *file = pcap_open_offline(path, error);
    if (file == nullptr) {
        std::fprintf(stderr, "lcmp-monitor: cannot read %s: %s\n", path, error);
        return 1;
    }
    if (!InstallPrinters()) {
        pcap_close(file);
        return 1;
    }
    gReplaying = true;
    pcap_pkthdr *header = nullptr;
    const u_char *frame = nullptr;
    long number = 0;
    while (!LimitReached() && !gInterrupted && pcap_next_ex(file, &header, &frame) == 1) {
        ++number;
        gReplayTime = header->ts;
        const long before = gMessages.load();
        const int32_t rc = LCMPFrameProcess(frame, header->caplen, header->ts.tv_sec, static_cast<int32_t>(header->ts.tv_usec));
        std::lock_guard lock(gOutput);
        if (rc == LCMP_FRAME_DISPATCHED && gMessages.load() == before)
            std::printf("frame %ld: LCMP message not delivered (bad lead byte, unknown opcode, or header past the payload)\n",
                        number);
        else if (rc == LCMP_ERROR_DROP_PACKET)
            std::printf("frame %ld: LCMP frame dropped (payload length past the captured bytes)\n", number);
        else if (rc == LCMP_ERROR_MALLOC)
            std::printf("frame %ld: segment dropped (out of memory)\n", number);
    }
    pcap_close(file);
    return 0;
}

int Live(const char *adapter) {
    std::signal(SIGINT, [](int) { gInterrupted = 1; });
    std::signal(SIGTERM, [](int) { gInterrupted = 1; });
    if (!InstallPrinters()) return 1;
    if (LCMPInit(adapter) != 0) {
        std::fprintf(stderr, "lcmp-monitor: cannot capture on %s%s\n", adapter,
                     !lcmptools::Privileged() ? " (needs root, or cap_net_raw,cap_net_admin)" : "");
        LCMPEnd();
        return 1;
    }
    std::fprintf(stderr, "lcmp-monitor: listening on %s\n", adapter);
    while (!gInterrupted && !LimitReached()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    LCMPEnd();
    return 0;
}

int Usage() {
    std::fprintf(stderr, "usage: lcmp-monitor (-i ADAPTER | -r FILE.pcap) [-c COUNT]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *adapter = nullptr, *file = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "i:r:c:h")) != -1) {
        switch (opt) {
            case 'i': adapter = optarg; break;
            case 'r': file = optarg; break;
            case 'c': {
                auto n = lcmptools::ParseNumber(optarg, 1, kMaxCount);
                if (!n) return Usage();
                gLimit = *n;
                break;
            }
            default: return Usage();
        }
    }
    if ((adapter == nullptr) == (file == nullptr) || optind != argc) return Usage();
    return file != nullptr ? Replay(file) : Live(adapter);
}
