// lcmp-monitor: prints every complete LCMP message, live from an adapter
// (-i) or from a capture file (-r). Both read through libpcap and feed each
// frame to the library's per-frame path (LCMPFrameProcess), so segmented
// messages are shown once reassembled, and every frame that delivers nothing
// is reported with its reason. Live, the capture takes the frames addressed
// to the adapter and to group addresses (-p: every frame, promiscuously); no
// library session is opened. -c N stops after N messages; Ctrl-C ends the
// capture cleanly.
#include <getopt.h>
#include <pcap/pcap.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "lcmp.h"
#include "lcmp_tool_common.h"
#include "lcmp_tool_platform.h"
#include "platform.h"

namespace {

constexpr int kEthertype = 0x22E3;
constexpr int kHeaderBytes = 22;  // Ethernet header and LCMP link header
constexpr int64_t kAgeLimitMicroseconds = 50000;
// -c: up to 2^40 messages, or as many as a long counts (Windows: 2^31 - 1).
constexpr long kMaxCount = static_cast<long>(std::min<long long>(1LL << 40, std::numeric_limits<long>::max()));

std::atomic<long> gMessages{0};
long gLimit = 0;
volatile std::sig_atomic_t gInterrupted = 0;
pcap_t *gLive = nullptr;  // the live capture, which a signal breaks out of its wait
timeval gFrameTime{};  // capture time of the frame being handled

// Capture times with the microseconds brought into 0..999 999.
timeval Normalised(timeval tv) {
    tv.tv_sec += tv.tv_usec / 1000000;
    tv.tv_usec %= 1000000;
    if (tv.tv_usec < 0) {
        tv.tv_usec += 1000000;
        tv.tv_sec -= 1;
    }
    return tv;
}

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
    std::printf("%s  from %s  opcode 0x%03X %s  record area %d bytes\n", Timestamp(gFrameTime).c_str(),
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

int64_t Microseconds(const timeval &t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; }

// The segments the library holds, mirrored by the same rules (one partial
// message per sender, opcode and low byte of the sequence number; gone 50 ms
// after its last new segment, or when a segment of another message of the
// same key arrives), so that the frames of a message that never completes
// are reported by number.
struct Held {
    int64_t stamp = 0;
    int last = 0;
    std::map<int, std::size_t> segments;  // segment number -> hash of its bytes
    std::vector<long> frames;
};
using Key = std::tuple<std::string, int, int>;  // sender, opcode, sequence low byte
std::map<Key, Held> gHeld;

std::string FrameList(const std::vector<long> &frames) {
    std::string out = frames.size() == 1 ? "frame " : "frames ";
    for (std::size_t i = 0; i < frames.size(); ++i) out += (i ? ", " : "") + std::to_string(frames[i]);
    return out;
}

void ReportHeld(const Key &key, const Held &held, const char *why) {
    std::printf("%s: segments of an incomplete LCMP message (from %s, opcode 0x%03X, %zu of %d segments) dropped: %s\n",
                FrameList(held.frames).c_str(), std::get<0>(key).c_str(), std::get<1>(key), held.segments.size(),
                held.last + 1, why);
}

void AgeHeld(int64_t now) {
    for (auto it = gHeld.begin(); it != gHeld.end();) {
        if (it->second.stamp > now) it->second.stamp = now;  // the capture clock stepped back
        if (now - it->second.stamp > kAgeLimitMicroseconds) {
            ReportHeld(it->first, it->second, "no further segment within 50 ms");
            it = gHeld.erase(it);
        } else {
            ++it;
        }
    }
}

// A segment the library took (held, or completing its message).
void Segment(long number, int64_t now, const uint8_t *frame, int length, bool completed) {
    const int last = frame[18] & 0x0F, segment = frame[18] >> 4;
    const Key key{lcmptools::Mac(frame + 6), (frame[16] << 4) | (frame[15] >> 4), frame[19]};
    if (completed) {
        gHeld.erase(key);
        return;
    }
    const std::size_t hash = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char *>(frame + kHeaderBytes), length - kHeaderBytes));
    auto it = gHeld.find(key);
    if (it != gHeld.end()) {
        const auto same = it->second.segments.find(segment);
        if (it->second.last == last && same != it->second.segments.end() && same->second == hash) {
            std::printf("frame %ld: copy of a held LCMP segment, ignored\n", number);
            return;
        }
        if (it->second.last != last || same != it->second.segments.end()) {
            ReportHeld(key, it->second, ("another message of the same sender, opcode and sequence number in frame " +
                                         std::to_string(number)).c_str());
            gHeld.erase(it);
            it = gHeld.end();
        }
    }
    if (it == gHeld.end()) it = gHeld.emplace(key, Held{}).first;
    it->second.stamp = now;
    it->second.last = last;
    it->second.segments[segment] = hash;
    it->second.frames.push_back(number);
}

// Why a frame the library did not take is no message.
void Unpacked(long number, const uint8_t *frame, int length) {
    if (length < 14) {
        std::printf("frame %ld: dropped (%d bytes, Ethernet header cut)\n", number, length);
        return;
    }
    if (((frame[12] << 8) | frame[13]) != kEthertype) return;  // another protocol
    if (length < kHeaderBytes) {
        std::printf("frame %ld: LCMP frame dropped (link header cut: %d of 8 bytes)\n", number, length - 14);
        return;
    }
    const int payload = frame[14] | ((frame[15] & 0x0F) << 8);
    if (payload > length - kHeaderBytes)
        std::printf("frame %ld: LCMP frame dropped (payload length past the captured bytes)\n", number);
    else
        std::printf("frame %ld: LCMP frame dropped (no payload)\n", number);
}

void Handle(long number, const pcap_pkthdr &header, const uint8_t *frame) {
    gFrameTime = Normalised(header.ts);
    const int64_t now = Microseconds(gFrameTime);
    const int length = static_cast<int>(header.caplen);
    AgeHeld(now);
    const long before = gMessages.load();
    const int32_t rc = LCMPFrameProcess(frame, header.caplen, gFrameTime.tv_sec, static_cast<int32_t>(gFrameTime.tv_usec));
    const bool segmented = length > kHeaderBytes && (frame[18] & 0x0F) != 0;
    if (segmented && (rc == LCMP_FRAME_HELD || rc == LCMP_FRAME_DISPATCHED))
        Segment(number, now, frame, length, rc == LCMP_FRAME_DISPATCHED);
    if (rc == LCMP_FRAME_DISPATCHED && gMessages.load() == before)
        std::printf("frame %ld: LCMP message not delivered (bad lead byte, unknown opcode, or header past the payload)\n",
                    number);
    else if (rc == LCMP_ERROR_DROP_PACKET)
        std::printf("frame %ld: LCMP frame dropped (payload length past the captured bytes)\n", number);
    else if (rc == LCMP_ERROR_MALLOC)
        std::printf("frame %ld: segment dropped (out of memory)\n", number);
    else if (rc == LCMP_FRAME_IGNORED)
        Unpacked(number, frame, length);
    std::fflush(stdout);
}

// Reads frames until the end of the file, the count, an interruption or a
// capture error. 0, or 1 after an error.
int Run(pcap_t *capture, const char *what) {
    if (!InstallPrinters()) return 1;
    pcap_pkthdr *header = nullptr;
    const u_char *frame = nullptr;
    long number = 0;
    while (!LimitReached() && !gInterrupted) {
        const int rc = pcap_next_ex(capture, &header, &frame);
        if (rc == 0) continue;  // live read timeout
        if (rc == PCAP_ERROR_BREAK) {  // end of the file, or a live capture interrupted
            if (gLive == nullptr)
                for (const auto &[key, held] : gHeld) ReportHeld(key, held, "still incomplete at the end of the file");
            std::fflush(stdout);
            return 0;
        }
        if (rc < 0) {
            std::fprintf(stderr, "lcmp-monitor: %s: %s\n", what, pcap_geterr(capture));
            return 1;
        }
        Handle(++number, *header, frame);
    }
    return 0;
}

int Replay(const char *path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *file = pcap_open_offline(path, error);
    if (file == nullptr) {
        std::fprintf(stderr, "lcmp-monitor: cannot read %s: %s\n", path, error);
        return 1;
    }
    const int link = pcap_datalink(file);
    if (link != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(link);
        std::fprintf(stderr, "lcmp-monitor: %s: link type %s is not Ethernet; only Ethernet captures are read\n", path,
                     name != nullptr ? name : std::to_string(link).c_str());
        pcap_close(file);
        return 1;
    }
    const std::string what = "cannot read " + std::string(path);
    const int status = Run(file, what.c_str());
    pcap_close(file);
    return status;
}

int Live(const char *adapter, bool promiscuous) {
    char error[PCAP_ERRBUF_SIZE] = {};
    // On Windows the adapter may be named as Windows shows it ("Ethernet 2").
    pcap_t *capture = pcap_create(lcmp::CaptureName(adapter).c_str(), error);
    int rc = capture == nullptr ? PCAP_ERROR : 0;
    if (capture != nullptr && (pcap_set_snaplen(capture, 65535) != 0 || pcap_set_promisc(capture, promiscuous) != 0 ||
                               pcap_set_timeout(capture, 100) != 0))
        rc = PCAP_ERROR;
    // Without immediate mode (some capture libraries lack it) frames come
    // at the latest when the 100 ms read timeout expires.
    if (rc == 0) (void)pcap_set_immediate_mode(capture, 1);
    if (rc == 0) rc = pcap_activate(capture);
    if (rc < 0) {
        const char *why = rc == PCAP_ERROR_PERM_DENIED ? (!lcmptools::Privileged() ? "needs root, or cap_net_raw,cap_net_admin"
                                                                         : "permission denied")
                          : rc == PCAP_ERROR_IFACE_NOT_UP   ? "the adapter is down"
                          : rc == PCAP_ERROR_NO_SUCH_DEVICE ? "no such adapter"
                          : capture != nullptr          ? pcap_geterr(capture)
                                                        : error;
        std::fprintf(stderr, "lcmp-monitor: cannot capture on %s: %s\n", adapter, why);
        if (capture != nullptr) pcap_close(capture);
        return 1;
    }
    if (pcap_datalink(capture) != DLT_EN10MB) {
        std::fprintf(stderr, "lcmp-monitor: cannot capture on %s: not an Ethernet adapter\n", adapter);
        pcap_close(capture);
        return 1;
    }
    pcap_setdirection(capture, PCAP_D_IN);
    // The adapter's own address and every group address; with -p, anything.
    std::string filter = "ether proto 0x22e3";
    uint8_t own[6];
    if (!promiscuous && MacAddressGet(adapter, own) == 0)
        filter += " and (ether dst " + lcmptools::Mac(own) + " or ether multicast)";
    bpf_program program{};
    if (pcap_compile(capture, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(capture, &program) != 0) {
        std::fprintf(stderr, "lcmp-monitor: cannot filter on %s: %s\n", adapter, pcap_geterr(capture));
        pcap_freecode(&program);
        pcap_close(capture);
        return 1;
    }
    pcap_freecode(&program);
    gLive = capture;
    lcmptools::OnInterrupt([](int) {
        gInterrupted = 1;
        pcap_breakloop(gLive);  // wakes the wait for the next frame
    });
    std::fprintf(stderr, "lcmp-monitor: listening on %s\n", adapter);
    const std::string what = "capture on " + std::string(adapter) + " ended";
    const int status = Run(capture, what.c_str());
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    gLive = nullptr;
    pcap_close(capture);
    return status;
}

int Usage(FILE *to, int status) {
    std::fprintf(to, "usage: lcmp-monitor (-i ADAPTER [-p] | -r FILE.pcap) [-c COUNT]\n");
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    lcmptools::RegistryCreate();
    const char *adapter = nullptr, *file = nullptr;
    bool promiscuous = false;
    int opt;
    while ((opt = getopt(argc, argv, "i:r:c:ph")) != -1) {
        switch (opt) {
            case 'i': adapter = optarg; break;
            case 'r': file = optarg; break;
            case 'p': promiscuous = true; break;
            case 'c': {
                auto n = lcmptools::ParseNumber(optarg, 1, kMaxCount);
                if (!n) return Usage(stderr, 2);
                gLimit = *n;
                break;
            }
            case 'h': return Usage(stdout, 0);
            default: return Usage(stderr, 2);
        }
    }
    if ((adapter == nullptr) == (file == nullptr) || optind != argc || (promiscuous && file != nullptr))
        return Usage(stderr, 2);
    return file != nullptr ? Replay(file) : Live(adapter, promiscuous);
}
