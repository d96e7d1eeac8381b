// Answer rate of lcmp-device against the bare send rate of the same adapter.
//
// In a namespace of its own with a veth pair (as root): lcmp-device runs on
// lcmp0. It is stopped (SIGSTOP) while a burst of requests is queued in its
// capture ring, then continued; the answers are captured on lcmp1 and the
// rate is taken from the kernel's capture timestamps of the first and the
// last answer. The floor is a tight pcap_sendpacket loop of frames of the
// same size on lcmp0, captured and timed the same way, in the same run.
// Rows: one device answering unicast reads, and 200 devices answering group
// reads; also the round trip of a lone read from a raw socket on lcmp1 to
// its answer. Prints "key value" lines (medians of the runs).
#include <fcntl.h>
#include <pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_socket.h"
#include "netns_support.h"

namespace {

using namespace lcmptest;
using namespace std::chrono_literals;

constexpr int kRuns = 7;
constexpr int kAnswersPerRun = 6000;  // fewer than the simulator's capture ring holds

// Captures on the requester's end with a large ring; frames are read only
// after a burst, so the reading costs the burst nothing.
class Counter {
public:
    explicit Counter(const char *adapter) {
        char err[PCAP_ERRBUF_SIZE];
        handle_ = pcap_create(adapter, err);
        if (handle_ == nullptr) return;
        pcap_set_snaplen(handle_, 64);
        pcap_set_buffer_size(handle_, 128 << 20);
        pcap_set_timeout(handle_, 10);
        pcap_set_tstamp_precision(handle_, PCAP_TSTAMP_PRECISION_NANO);
        if (pcap_activate(handle_) < 0) {
            pcap_close(handle_);
            handle_ = nullptr;
            return;
        }
        bpf_program program{};
        if (pcap_compile(handle_, &program, "ether proto 0x22E3", 1, PCAP_NETMASK_UNKNOWN) == 0) {
            pcap_setfilter(handle_, &program);
            pcap_freecode(&program);
        }
        pcap_setdirection(handle_, PCAP_D_IN);
        pcap_setnonblock(handle_, 1, err);
    }
    ~Counter() {
        if (handle_ != nullptr) pcap_close(handle_);
    }
    bool ok() const { return handle_ != nullptr; }
    void Drain() {
        Collect(0, 50ms);
    }
    // Reads until `expected` frames arrived or none came for `quiet`; the
    // rate between the first and the last, or 0 when frames were missing.
    double Collect(long expected, std::chrono::milliseconds quiet = 500ms) {
        count_ = 0;
        auto last = std::chrono::steady_clock::now();
        while (count_ < expected || expected == 0) {
            const int n = pcap_dispatch(handle_, -1, &Counter::Note, reinterpret_cast<u_char *>(this));
            if (n > 0) {
                last = std::chrono::steady_clock::now();
                continue;
            }
            if (std::chrono::steady_clock::now() - last > quiet) break;
            std::this_thread::sleep_for(1ms);
        }
        if (expected == 0 || count_ < expected) return 0;
        return static_cast<double>(count_ - 1) / (lastNs_ - firstNs_) * 1e9;
    }

private:
    static void Note(u_char *self, const pcap_pkthdr *h, const u_char *) {
        auto *c = reinterpret_cast<Counter *>(self);
        const double ns = static_cast<double>(h->ts.tv_sec) * 1e9 + static_cast<double>(h->ts.tv_usec);
        if (c->count_++ == 0) c->firstNs_ = ns;
        c->lastNs_ = ns;
    }
    pcap_t *handle_ = nullptr;
    long count_ = 0;
    double firstNs_ = 0, lastNs_ = 0;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

pid_t StartDevice(const std::vector<std::string> &args) {
    return SpawnUntilReady(LCMP_DEVICE_PATH, args, "listening");
}

void StopDevice(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A read request for parameter 04 (built-in value 05DC) from the peer.
Bytes ReadRequest(const Mac &to, const Mac &from, uint16_t sequence) {
    const Bytes message{0x05, from[0], from[1], from[2], from[3], from[4], from[5], 0x04, 0x00, 0x02, 0x01, 0x00, 0x04};
    return LcmpFrame({.destination = to, .source = from, .opcode = LCMP_READ_REQ, .sequence = sequence}, message);
}

// The simulator's answer rate: `requests` requests queued while it is
// stopped, `answersPer` answers each.
std::vector<double> DeviceRuns(Counter &counter, RawPort &peer, const std::vector<std::string> &args, const Mac &to,
                               int requests, int answersPer, double *latencyUs = nullptr) {
    std::vector<double> rates;
    const pid_t pid = StartDevice(args);
    if (pid < 0) return rates;
    const Mac own = SysfsMac(kPeer);
    if (latencyUs != nullptr) {
        std::vector<double> rounds;
        for (int i = 0; i < 300; ++i) {
            std::this_thread::sleep_for(1ms);
            const auto t0 = std::chrono::steady_clock::now();
            peer.Send(ReadRequest(to, own, static_cast<uint16_t>(i)));
            if (!peer.Receive(0x22E3, 1s)) continue;
            rounds.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        }
        *latencyUs = Median(rounds);
    }
    for (int run = 0; run < kRuns; ++run) {
        counter.Drain();
        kill(pid, SIGSTOP);
        for (int i = 0; i < requests; ++i) peer.Send(ReadRequest(to, own, static_cast<uint16_t>(i)));
        kill(pid, SIGCONT);
        rates.push_back(counter.Collect(static_cast<long>(requests) * answersPer));
    }
    StopDevice(pid);
    return rates;
}

// The floor: pcap_sendpacket of a frame of an answer's size, in a tight loop.
std::vector<double> BareRuns(Counter &counter) {
    std::vector<double> rates;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *tx = pcap_open_live(kLocal, 1514, 0, 1000, err);
    if (tx == nullptr) return rates;
    // The frame one device sends for a read of parameter 04: 22 + 9 bytes.
    const Bytes frame = LcmpFrame({.destination = SysfsMac(kPeer),
                                   .source = Mac{0x02, 0x00, 0x00, 0x00, 0x01, 0x01},
                                   .opcode = LCMP_READ_CNF},
                                  Confirmation({0x00, 0x03, 0x00, 0x04, 0x05, 0xDC}));
    for (int run = 0; run < kRuns; ++run) {
        counter.Drain();
        for (int i = 0; i < kAnswersPerRun; ++i) pcap_sendpacket(tx, frame.data(), static_cast<int>(frame.size()));
        rates.push_back(counter.Collect(kAnswersPerRun));
    }
    pcap_close(tx);
    return rates;
}

int Run(int, char **) {
    if (!SkipReason().empty()) {
        std::printf("skipped %s\n", SkipReason().c_str());
        return 0;
    }
    Counter counter(kPeer);
    RawPort peer(kPeer);
    if (!counter.ok() || !peer.ok()) {
        std::printf("skipped cannot capture or send on %s\n", kPeer);
        return 0;
    }
    const Mac first{0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
    const Mac multicast{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
    std::vector<double> bare = BareRuns(counter);
    double latency = 0;
    const auto one = DeviceRuns(counter, peer, {"-i", kLocal}, first, kAnswersPerRun, 1, &latency);
    const auto group = DeviceRuns(counter, peer, {"-i", kLocal, "-n", "200"}, multicast, kAnswersPerRun / 200, 200);
    const auto bareAfter = BareRuns(counter);
    bare.insert(bare.end(), bareAfter.begin(), bareAfter.end());
    std::printf("bare_send_fps %.0f\n", Median(bare));
    std::printf("device1_answer_fps %.0f\n", Median(one));
    std::printf("device200_group_answer_fps %.0f\n", Median(group));
    std::printf("device1_round_trip_us %.1f\n", latency);
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return NamespaceMain(argc, argv, Run); }
