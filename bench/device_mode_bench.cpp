// Benchmarks of device mode, as root in a namespace of their own with a veth
// pair: the library's session on lcmp0, the devices on lcmp1.
//
// - Round trip of a one-parameter LCMPRead against a bare ping-pong: one raw
//   frame out through libpcap and the answer read back through libpcap
//   (opened as the session opens it). Both talk to the same responder, a
//   tight loop on a raw socket on lcmp1 that answers each request frame with
//   a prebuilt confirmation carrying the request's sequence number.
// - 8 threads reading 8 simulated devices (lcmp-device -n 8): requests per
//   second, and answers given to the wrong request (each thread first writes
//   a value only it knows to its device and reads that back).
// - A group read answered by 200 simulated devices: all collected; time from
//   the call to the last answer's delivery beside the simulator's own time,
//   on the wire, from the request frame to its last answer.
// - The soak of 8 threads against 8 devices with a second process (lcmp-ctl)
//   reading them, on a clean link and then on a flaky one (lcmp-device
//   --loss 20 --duplicate 10 --late 10:60, attempts of 40 ms): requests per
//   second on each, and wrong answers (another request's answer), which
//   must be 0.
// - Discovery of 20 000 simulated devices with lcmp-ctl -t 3000 discover:
//   devices listed and the time the run took.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "device_soak.h"
#include "netns_support.h"

namespace {

using namespace lcmptest;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// lcmp-device on lcmp1 as a child process, until the object goes.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"-i", kPeer});
        pid_ = SpawnUntilReady(LCMP_DEVICE_PATH, extra, "listening");
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;
    ~Simulator() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// The peer of the round trips: answers every read request arriving on
// lcmp1 at once with one prebuilt confirmation (parameter 01), the
// request's sequence number copied in.
class Responder {
public:
    Responder() {
        const int ifindex = static_cast<int>(if_nametoindex(kPeer));
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x22E3));
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(0x22E3);
        sll.sll_ifindex = ifindex;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) return;
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        FrameFields fields{.destination = SysfsMac(kLocal), .source = SysfsMac(kPeer), .opcode = LCMP_READ_CNF};
        answer_ = LcmpFrame(fields, Confirmation({0x00, 0x05, 0x00, 0x01, 0x4C, 0x43, 0x4D, 0x50}));
        thread_ = std::thread([this] { Loop(); });
    }
    ~Responder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return thread_.joinable(); }

private:
    void Loop() {
        uint8_t frame[1514];
        Bytes answer = answer_;
        while (!stop_.load(std::memory_order_relaxed)) {
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&from), &length);
            if (n < 22 || from.sll_pkttype == PACKET_OUTGOING) continue;
            if (((frame[16] << 4) | (frame[15] >> 4)) != LCMP_READ_REQ) continue;
            answer[19] = frame[19];
            answer[20] = frame[20];
            send(fd_, answer.data(), answer.size(), 0);
        }
    }
    int fd_ = -1;
    Bytes answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// libpcap on lcmp0, opened with the session's settings and filter.
pcap_t *OpenLikeTheSession(bool inbound) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *h = pcap_create(kLocal, err);
    if (h == nullptr) return nullptr;
    if (pcap_set_snaplen(h, lcmp::kSnapshotLength) != 0 || pcap_set_timeout(h, lcmp::kReadTimeoutMs) != 0 ||
        pcap_set_immediate_mode(h, 1) != 0 || pcap_set_buffer_size(h, lcmp::kCaptureBufferBytes) != 0 ||
        pcap_activate(h) < 0) {
        pcap_close(h);
        return nullptr;
    }
    const Mac own = SysfsMac(kLocal);
    char text[96];
    if (inbound)
        std::snprintf(text, sizeof text, "ether dst %02X:%02X:%02X:%02X:%02X:%02X and ether proto 0x22E3", own[0],
                      own[1], own[2], own[3], own[4], own[5]);
    else
        std::snprintf(text, sizeof text, "ether proto 0x22E3");
    bpf_program program{};
    if (pcap_compile(h, &program, text, 1, 0xFFFFFF) == 0) {
        pcap_setfilter(h, &program);
        pcap_freecode(&program);
    }
    pcap_setdirection(h, inbound ? PCAP_D_IN : PCAP_D_INOUT);
    return h;
}

void RoundTrips(benchmark::State &state, const std::function<bool()> &once) {
    std::vector<double> us;
    for (int i = 0; i < 200; ++i) once();  // warm-up
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!once()) {
            state.SkipWithError("no answer");
            return;
        }
        const std::chrono::duration<double> took = Clock::now() - t0;
        state.SetIterationTime(took.count());
        us.push_back(took.count() * 1e6);
    }
    state.counters["rtt_us_median"] = Median(us);
}

// The floor: a raw frame out and its answer back, through libpcap.
void BM_RoundTripBare(benchmark::State &state) {
    Responder responder;
    pcap_t *h = OpenLikeTheSession(true);
    if (h == nullptr || !responder.ok()) {
        state.SkipWithError("cannot open the adapters");
        if (h) pcap_close(h);
        return;
    }
    const Bytes request = LcmpFrame({.destination = SysfsMac(kPeer), .source = SysfsMac(kLocal),
                                     .opcode = LCMP_READ_REQ},
                                    {0x05, 0, 0, 0, 0, 0, 0, 0x04, 0x00, 0x02, 0x01, 0x00, 0x01});
    uint16_t sequence = 0;
    RoundTrips(state, [&] {
        Bytes frame = request;
        ++sequence;
        frame[19] = static_cast<uint8_t>(sequence);
        frame[20] = static_cast<uint8_t>(sequence >> 8);
        if (pcap_sendpacket(h, frame.data(), static_cast<int>(frame.size())) != 0) return false;
        for (;;) {
            pcap_pkthdr *header = nullptr;
            const u_char *data = nullptr;
            const int r = pcap_next_ex(h, &header, &data);
            if (r < 0) return false;
            if (r == 1 && header->caplen > 22 && (data[19] | data[20] << 8) == sequence) return true;
        }
    });
    pcap_close(h);
}

// The library: LCMPRead of one parameter in device mode.
void BM_RoundTripRead(benchmark::State &state) {
    Responder responder;
    if (!responder.ok() || LCMPInit(kLocal) != 0) {
        state.SkipWithError("cannot open the adapters");
        return;
    }
    LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 1000, 1);
    const Mac peer = SysfsMac(kPeer);
    LCMPValueList *request = nullptr;
    const uint8_t id = 0x01;
    LCMPValueAdd(&request, 1, &id);
    RoundTrips(state, [&] {
        LCMPValueList *result = nullptr;
        const bool ok = LCMPRead(request, 0, peer.data(), &result) == 0 && result != nullptr && result->count == 1;
        LCMPValueListDestroy(result);
        return ok;
    });
    LCMPValueListDestroy(request);
    LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
    LCMPEnd();
}

Mac DeviceAddress(int n) {
    Mac m{0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
    const uint32_t low = ((m[3] << 16) | (m[4] << 8) | m[5]) + static_cast<uint32_t>(n);
    m[3] = static_cast<uint8_t>(low >> 16);
    m[4] = static_cast<uint8_t>(low >> 8);
    m[5] = static_cast<uint8_t>(low);
    return m;
}

// 8 threads, each reading back from its own device the value it wrote there.
void BM_EightThreadsEightDevices(benchmark::State &state) {
    Simulator devices({"-n", "8"});
    if (!devices.ready() || LCMPInit(kLocal) != 0) {
        state.SkipWithError("cannot start the devices or the session");
        return;
    }
    LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 1000, 3);
    double rate = 0, misrouted = 0, failed = 0, requests = 0;
    for (auto _ : state) {
        std::atomic<uint64_t> done{0}, wrong{0}, failures{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                const Mac device = DeviceAddress(t);
                const uint8_t value[] = {0x05, 0xC0, static_cast<uint8_t>(t)};
                LCMPValueList *write = nullptr, *read = nullptr, *result = nullptr;
                LCMPValueAdd(&write, sizeof value, value);
                LCMPValueAdd(&read, 1, value);
                if (LCMPWrite(write, 0, device.data(), &result) != 0) ++failures;
                LCMPValueListDestroy(result);
                while (!stop.load(std::memory_order_relaxed)) {
                    result = nullptr;
                    if (LCMPRead(read, 0, device.data(), &result) != 0) ++failures;
                    else if (result == nullptr || result->count != 1 || result->first->length != 3 ||
                             std::memcmp(result->first->value, value, 3) != 0 ||
                             std::memcmp(result->first->sourceMac, device.data(), 6) != 0)
                        ++wrong;
                    LCMPValueListDestroy(result);
                    done.fetch_add(1, std::memory_order_relaxed);
                }
                LCMPValueListDestroy(write);
                LCMPValueListDestroy(read);
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all threads running
        const uint64_t from = done.load();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const uint64_t to = done.load();
        const std::chrono::duration<double> took = Clock::now() - t0;
        stop = true;
        for (auto &t : threads) t.join();
        state.SetIterationTime(took.count());
        rate += static_cast<double>(to - from) / took.count();
        requests += static_cast<double>(done.load());
        misrouted += static_cast<double>(wrong.load());
        failed += static_cast<double>(failures.load());
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["requests_per_s"] = rate / n;
    state.counters["requests"] = requests;
    state.counters["misrouted"] = misrouted;
    state.counters["failed"] = failed;
    LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
    LCMPEnd();
}

// Arrival time (steady clock) of the last read confirmation delivered.
std::atomic<int64_t> gLastAnswerNs{0};
int NoteAnswer(const uint8_t *, const uint8_t *, int, CallbackData *) {
    gLastAnswerNs.store(Clock::now().time_since_epoch().count());
    return 0;
}

// A multicast read answered by 200 devices.
void BM_GroupRead200(benchmark::State &state) {
    Simulator devices({"-n", "200"});
    pcap_t *wire = OpenLikeTheSession(false);  // both directions, with kernel time stamps
    if (!devices.ready() || wire == nullptr || LCMPInit(kLocal) != 0) {
        state.SkipWithError("cannot start the devices, the capture or the session");
        if (wire) pcap_close(wire);
        return;
    }
    CallbackData *data = CallbackDataCreate(nullptr, 0, 0, nullptr);
    LCMPCallBackInstall(NoteAnswer, LCMP_READ_CNF, data);
    LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 1000, 1);
    LCMPValueList *request = nullptr;
    const uint8_t id = 0x04;
    LCMPValueAdd(&request, 1, &id);
    std::vector<double> library, simulator;
    double collected = 200;
    for (auto _ : state) {
        LCMPValueList *result = nullptr;
        const auto t0 = Clock::now();
        const int32_t rc = LCMPRead(request, LCMP_DESTINATION_MULTICAST, nullptr, &result);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        std::set<Bytes> sources;
        for (const LCMPValue *v = result ? result->first : nullptr; v; v = v->next)
            sources.insert(Bytes(v->sourceMac, v->sourceMac + 6));
        LCMPValueListDestroy(result);
        collected = std::min(collected, rc == 0 ? static_cast<double>(sources.size()) : 0.0);
        library.push_back(static_cast<double>(gLastAnswerNs.load() - t0.time_since_epoch().count()) * 1e-6);
        // On the wire: the request frame, then the last of its answers.
        double first = -1, last = -1;
        pcap_pkthdr *header = nullptr;
        const u_char *frame = nullptr;
        int answers = 0;
        while (answers < 200 && pcap_next_ex(wire, &header, &frame) == 1) {
            const double at = static_cast<double>(header->ts.tv_sec) * 1e3 + static_cast<double>(header->ts.tv_usec) * 1e-3;
            const int opcode = (frame[16] << 4) | (frame[15] >> 4);
            if (opcode == LCMP_READ_REQ) first = at;
            else if (opcode == LCMP_READ_CNF && first >= 0) {
                last = at;
                ++answers;
            }
        }
        simulator.push_back(last - first);
    }
    state.counters["collected_min"] = collected;
    state.counters["library_ms_median"] = Median(library);
    state.counters["simulator_ms_median"] = Median(simulator);
    LCMPValueListDestroy(request);
    LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
    LCMPEnd();
    CallbackDataDestroy(data);
    pcap_close(wire);
}

// The soak on a clean link, then on a flaky one, each with its own simulator.
void BM_FlakyLinkSoak(benchmark::State &state) {
    const auto soak = [](std::vector<std::string> link, std::chrono::seconds duration, SoakResult *out) {
        link.insert(link.begin(), {"-n", "8"});
        Simulator devices(link);
        if (!devices.ready() || LCMPInit(kLocal) != 0) return false;
        *out = DeviceSoak({.adapter = kLocal, .ctl = LCMP_CTL_PATH, .duration = duration, .timeoutMs = 40});
        LCMPEnd();
        for (const auto &e : out->examples) std::fprintf(stderr, "wrong answer: %s\n", e.c_str());
        return true;
    };
    for (auto _ : state) {
        SoakResult clean, flaky;
        if (!soak({}, std::chrono::seconds(5), &clean) ||
            !soak({"--loss", "20", "--duplicate", "10", "--late", "10:60", "--seed", "1"}, std::chrono::seconds(20),
                  &flaky)) {
            state.SkipWithError("cannot start the devices or the session");
            return;
        }
        state.SetIterationTime(flaky.seconds);
        state.counters["flaky_requests_per_s"] = flaky.Rate();
        state.counters["flaky_calls"] = static_cast<double>(flaky.calls);
        state.counters["flaky_timeouts"] = static_cast<double>(flaky.timeouts);
        state.counters["flaky_wrong"] = static_cast<double>(flaky.wrong);
        state.counters["flaky_failed"] = static_cast<double>(flaky.failed);
        state.counters["flaky_ctl_reads"] = static_cast<double>(flaky.ctlRuns);
        state.counters["flaky_ctl_timeouts"] = static_cast<double>(flaky.ctlTimeouts);
        state.counters["flaky_ctl_wrong"] = static_cast<double>(flaky.ctlWrong);
        state.counters["clean_requests_per_s"] = clean.Rate();
        state.counters["clean_calls"] = static_cast<double>(clean.calls);
        state.counters["clean_wrong"] = static_cast<double>(clean.wrong + clean.ctlWrong);
        state.counters["clean_ctl_reads"] = static_cast<double>(clean.ctlRuns);
    }
}

// lcmp-ctl -t 3000 discover against 20 000 simulated devices.
void BM_Discover20000(benchmark::State &state) {
    Simulator devices({"-n", "20000"});
    if (!devices.ready()) {
        state.SkipWithError("cannot start the devices");
        return;
    }
    double listed = 20000;
    std::vector<double> seconds;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const auto [status, text] = RunProgram(LCMP_CTL_PATH, {"-i", kLocal, "-t", "3000", "discover"});
        const std::chrono::duration<double> took = Clock::now() - t0;
        state.SetIterationTime(took.count());
        seconds.push_back(took.count());
        std::set<std::string> devicesListed;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            if (end - at > 17 && text[at] != '/') devicesListed.insert(text.substr(at, 17));
            at = end + 1;
        }
        listed = std::min(listed, status == 0 ? static_cast<double>(devicesListed.size()) : 0.0);
    }
    state.counters["listed_min"] = listed;
    state.counters["seconds_median"] = Median(seconds);
}

int Run(int argc, char **argv) {
    if (SkipReason().empty()) {
        benchmark::RegisterBenchmark("BM_RoundTripBare", BM_RoundTripBare)
            ->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_RoundTripRead", BM_RoundTripRead)
            ->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_EightThreadsEightDevices", BM_EightThreadsEightDevices)
            ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_GroupRead200", BM_GroupRead200)
            ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_FlakyLinkSoak", BM_FlakyLinkSoak)
            ->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_Discover20000", BM_Discover20000)
            ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    } else {
        std::fprintf(stderr, "adapter benchmarks skipped: %s\n", SkipReason().c_str());
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return NamespaceMain(argc, argv, Run); }
