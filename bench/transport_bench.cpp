// Benchmarks of the link transport.
//
// Everywhere: the per-frame function for unsegmented and segmented messages,
// its cost with many partial messages under reassembly, and a memory soak
// (resident size over a million frames and 100 000 install/uninstall cycles,
// and the most partial messages reassembly holds under a flood of
// never-completed segments).
// As root, in a namespace of their own with a veth pair (as the namespace
// tests): the time LCMPEnd takes on a quiet line, the time from a frame
// injected on the veth to its callback (median and maximum as counters
// stop_ms_*, wire_us_*), and the receive rate of a session against a bare
// pcap_next_ex loop opened with the same settings, for a burst from a raw
// socket and for a paced management rate.
#include <benchmark/benchmark.h>
#include <linux/if_packet.h>
#include <malloc.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "netns_support.h"
#include "reassembly.h"
#include "registry.h"

namespace {

using namespace lcmptest;
using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> gDelivered{0};
int Count(const uint8_t *, const uint8_t *, int, CallbackData *) {
    gDelivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// A callback for opcode 0x161 for the duration of a benchmark.
class Installed {
public:
    explicit Installed(LCMPCallBackFunction f)
        : data_(CallbackDataCreate(nullptr, 0, 0, nullptr)), entry_(LCMPCallBackInstall(f, 0x161, data_)) {}
    ~Installed() {
        LCMPCallBackUninstall(entry_);
        CallbackDataDestroy(data_);
    }
    bool ok() const { return entry_ != nullptr; }

private:
    CallbackData *data_;
    CallbackEntry *entry_;
};

const Bytes kRecords{0x00, 0x04, 0x00, 0x05, 0xF0, 0xF1, 0xF2};

void BM_HandleFrameUnsegmented(benchmark::State &state) {
    Installed cb(Count);
    const Bytes frame = LcmpFrame({}, Confirmation(kRecords));
    timeval t{1700000000, 0};
    for (auto _ : state) {
        t.tv_usec = (t.tv_usec + 1) % 1000000;
        lcmp::HandleFrame(t, frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleFrameUnsegmented);

void BM_HandleFrameTwoSegments(benchmark::State &state) {
    Installed cb(Count);
    const Bytes message = Confirmation(kRecords);
    const Bytes head(message.begin(), message.begin() + 4), tail(message.begin() + 4, message.end());
    timeval t{1700000000, 0};
    uint16_t seq = 0;
    for (auto _ : state) {
        ++seq;
        t.tv_usec = (t.tv_usec + 1) % 1000000;
        lcmp::HandleFrame(t, LcmpFrame({.lastSegment = 1, .segment = 1, .sequence = seq}, tail));
        lcmp::HandleFrame(t, LcmpFrame({.lastSegment = 1, .segment = 0, .sequence = seq}, head));
    }
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleFrameTwoSegments);

// One unsegmented frame while range(0) partial messages wait for their other
// segment. range(1) = 1: their stamps are normalised and in capture order
// (live capture); 0: one stamp has an unnormalised microsecond field (as a
// savefile may carry), which once made ageing walk every record.
void BM_HandleFrameWithPartialMessages(benchmark::State &state) {
    Installed cb(Count);
    const auto partial = static_cast<std::size_t>(state.range(0));
    const bool inOrder = state.range(1) != 0;
    timeval t{1700000000, 0};
    for (std::size_t i = 0; i < partial; ++i) {
        FrameFields fields{.lastSegment = 1, .sequence = static_cast<uint16_t>(i)};
        fields.source[4] = static_cast<uint8_t>(i >> 8);  // distinct keys beyond 256 sequence values
        // 1 us before t, written with an unnormalised microsecond field.
        const timeval at = (!inOrder && i == 0) ? timeval{1699999998, 1999999} : t;
        lcmp::HandleFrame(at, LcmpFrame(fields, {0x05}));
    }
    const Bytes frame = LcmpFrame({}, Confirmation(kRecords));
    long step = 0;
    for (auto _ : state) {
        t.tv_usec = 10 + (step++ % 40000);  // every record stays young
        lcmp::HandleFrame(t, frame);
    }
    if (lcmp::lcmpSegmentedFramesList == nullptr || lcmp::lcmpSegmentedFramesList->count != partial % 65536)
        state.SkipWithError("partial messages were lost");
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
}
BENCHMARK(BM_HandleFrameWithPartialMessages)->ArgsProduct({{10, 100, 1000, 10000}, {1, 0}});

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// LCMPEnd on a quiet line: the loop is blocked in its read (1 000 ms
// timeout) when the stop is requested.
void BM_StopLatencyQuietLine(benchmark::State &state) {
    std::vector<double> ms;
    for (auto _ : state) {
        if (LCMPInit(kLocal) != 0) {
            state.SkipWithError("LCMPInit failed");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let the loop block in its read
        const auto t0 = Clock::now();
        LCMPEnd();
        const std::chrono::duration<double> took = Clock::now() - t0;
        state.SetIterationTime(took.count());
        ms.push_back(took.count() * 1e3);
    }
    state.counters["stop_ms_median"] = Median(ms);
    state.counters["stop_ms_max"] = ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end());
}

std::mutex gWireMutex;
std::condition_variable gWireCv;
Clock::time_point gWireSeen;
uint64_t gWireCount = 0;
int OnWire(const uint8_t *, const uint8_t *, int, CallbackData *) {
    const auto now = Clock::now();
    std::lock_guard lock(gWireMutex);
    gWireSeen = now;
    ++gWireCount;
    gWireCv.notify_all();
    return 0;
}

// From the send of a frame on the peer end of the veth to the moment the
// callback runs on the receive thread.
void BM_WireToCallback(benchmark::State &state) {
    if (LCMPInit(kLocal) != 0) {
        state.SkipWithError("LCMPInit failed");
        return;
    }
    {
        Installed cb(OnWire);
        RawPort peer(kPeer);
        FrameFields fields;
        fields.destination = SysfsMac(kLocal);
        const Bytes frame = LcmpFrame(fields, Confirmation(kRecords));
        std::vector<double> us;
        for (auto _ : state) {
            std::unique_lock lock(gWireMutex);
            const uint64_t before = gWireCount;
            lock.unlock();
            const auto t0 = Clock::now();
            if (!cb.ok() || !peer.Send(frame)) {
                state.SkipWithError("cannot inject");
                break;
            }
            lock.lock();
            if (!gWireCv.wait_for(lock, std::chrono::seconds(3), [&] { return gWireCount > before; })) {
                state.SkipWithError("frame not delivered within 3 s");
                break;
            }
            const std::chrono::duration<double> took = gWireSeen - t0;
            lock.unlock();
            state.SetIterationTime(took.count());
            us.push_back(took.count() * 1e6);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a quiet line between frames
        }
        state.counters["wire_us_median"] = Median(us);
        state.counters["wire_us_max"] = us.empty() ? 0 : *std::max_element(us.begin(), us.end());
    }
    LCMPEnd();
}

// ---- Receive rate on the veth pair ----

// A send-only raw socket on the peer end (protocol 0: it receives nothing, so
// the sender does not also pay for a capture of its own frames), sending in
// batches with sendmmsg and bypassing the queueing discipline.
class BurstSender {
public:
    explicit BurstSender(const char *adapter) {
        const int ifindex = static_cast<int>(if_nametoindex(adapter));
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || ifindex == 0) return;
        int on = 1;
        setsockopt(fd_, SOL_PACKET, PACKET_QDISC_BYPASS, &on, sizeof on);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = 0;
        sll.sll_ifindex = ifindex;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    BurstSender(const BurstSender &) = delete;
    BurstSender &operator=(const BurstSender &) = delete;
    ~BurstSender() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Sends `count` frames, cycling through `frames` in order; `rate` frames
    // per second, or as fast as the socket takes them when 0. Returns how many
    // the kernel accepted.
    uint64_t Send(const std::vector<Bytes> &frames, uint64_t count, double rate) {
        constexpr unsigned kBatch = 32;
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        uint64_t sent = 0;
        std::size_t next = 0;
        const auto start = Clock::now();
        while (sent < count) {
            if (rate > 0) {
                const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(static_cast<double>(sent) / rate));
                while (Clock::now() < due) {
                    if (due - Clock::now() > std::chrono::microseconds(200))
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            }
            const unsigned n = static_cast<unsigned>(std::min<uint64_t>(kBatch, count - sent));
            for (unsigned i = 0; i < n; ++i) {
                const Bytes &f = frames[(next + i) % frames.size()];
                iov[i] = {const_cast<uint8_t *>(f.data()), f.size()};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int r = sendmmsg(fd_, msgs, n, 0);
            if (r < 0) {
                if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
                break;
            }
            sent += static_cast<unsigned>(r);
            next = (next + static_cast<unsigned>(r)) % frames.size();
        }
        return sent;
    }

private:
    int fd_ = -1;
};

// Frames of one message each (segments = 1), or the 4 segments of each
// message, with sequence numbers 0..255; every frame is 60 bytes (64 on the
// wire) or near it.
std::vector<Bytes> RateFrames(const Mac &destination, int segments) {
    std::vector<Bytes> frames;
    FrameFields fields;
    fields.destination = destination;
    Bytes record{0x00, 32, 0x00};
    record.resize(35, 0xA5);
    if (segments == 1) {
        frames.push_back(LcmpFrame(fields, Confirmation(record)));  // 22 + 38 bytes
        return frames;
    }
    Bytes records;
    for (int i = 0; i < segments; ++i) records.insert(records.end(), record.begin(), record.end());
    const Bytes message = Confirmation(records);
    const std::size_t piece = (message.size() + segments - 1) / segments;
    for (int seq = 0; seq < 256; ++seq)
        for (int s = 0; s < segments; ++s) {
            fields.lastSegment = static_cast<uint8_t>(segments - 1);
            fields.segment = static_cast<uint8_t>(s);
            fields.sequence = static_cast<uint16_t>(seq);
            const std::size_t from = s * piece, to = std::min(message.size(), from + piece);
            frames.push_back(LcmpFrame(fields, Bytes(message.begin() + from, message.begin() + to)));
        }
    return frames;
}

pid_t ThreadId() { return static_cast<pid_t>(gettid()); }

// CPU time a thread of this process has run, from the scheduler's account.
double ThreadCpuSeconds(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns * 1e-9;
}

// What a receiver counted: frames, the arrival time of the last one, and
// the thread it ran on. Both receivers pay the same for this bookkeeping.
struct Arrivals {
    std::atomic<uint64_t> frames{0};
    std::atomic<int64_t> lastNs{0};
    std::atomic<pid_t> tid{0};
    void Note(uint64_t n) {
        if (tid.load(std::memory_order_relaxed) == 0) tid.store(ThreadId());
        lastNs.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        frames.fetch_add(n, std::memory_order_relaxed);
    }
};
Arrivals gArrivals;
int gSegmentsPerMessage = 1;

int CountArrival(const uint8_t *, const uint8_t *, int, CallbackData *) {
    gArrivals.Note(static_cast<uint64_t>(gSegmentsPerMessage));
    return 0;
}

// The floor: a bare pcap_next_ex loop on the same adapter, opened with the
// session's settings (snapshot 1514, not promiscuous, 1 000 ms timeout,
// immediate mode, the capture ring size, the same filter, inbound only),
// counting LCMP frames. With `defaultRing`, libpcap's default ring instead.
class BareLoop {
public:
    explicit BareLoop(const char *adapter, bool defaultRing = false) {
        char err[PCAP_ERRBUF_SIZE];
        handle_ = pcap_create(adapter, err);
        if (handle_ == nullptr) return;
        if (pcap_set_snaplen(handle_, lcmp::kSnapshotLength) != 0 || pcap_set_promisc(handle_, 0) != 0 ||
            pcap_set_timeout(handle_, lcmp::kReadTimeoutMs) != 0 || pcap_set_immediate_mode(handle_, 1) != 0 ||
            (!defaultRing && pcap_set_buffer_size(handle_, lcmp::kCaptureBufferBytes) != 0) ||
            pcap_activate(handle_) < 0) {
            pcap_close(handle_);
            handle_ = nullptr;
            return;
        }
        const Mac own = SysfsMac(adapter);
        char text[96];
        std::snprintf(text, sizeof text, "ether dst %02X:%02X:%02X:%02X:%02X:%02X and ether proto 0x22E3", own[0],
                      own[1], own[2], own[3], own[4], own[5]);
        bpf_program program{};
        if (pcap_compile(handle_, &program, text, 1, 0xFFFFFF) == 0) {
            pcap_setfilter(handle_, &program);
            pcap_freecode(&program);
        }
        pcap_setdirection(handle_, PCAP_D_IN);
        thread_ = std::thread([this] {
            pcap_pkthdr *header = nullptr;
            const u_char *data = nullptr;
            while (running_.load()) {
                const int r = pcap_next_ex(handle_, &header, &data);
                if (r < 0) break;
                if (r == 1 && header->caplen > 22 && data[12] == 0x22 && data[13] == 0xE3) gArrivals.Note(1);
            }
        });
    }
    ~BareLoop() {
        if (handle_ == nullptr) return;
        running_ = false;
        pcap_breakloop(handle_);
        thread_.join();
        pcap_close(handle_);
    }
    pcap_t *handle() const { return handle_; }

private:
    pcap_t *handle_ = nullptr;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// The floor of LCMPEnd: stopping and closing the bare loop on a quiet line
// (pcap_breakloop, join, pcap_close). Closing a packet socket waits for the
// kernel's network RCU grace period.
void BM_StopBareLoop(benchmark::State &state) {
    std::vector<double> ms;
    for (auto _ : state) {
        auto loop = std::make_unique<BareLoop>(kLocal);
        if (loop->handle() == nullptr) {
            state.SkipWithError("cannot open the adapter");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto t0 = Clock::now();
        loop.reset();
        const std::chrono::duration<double> took = Clock::now() - t0;
        state.SetIterationTime(took.count());
        ms.push_back(took.count() * 1e3);
    }
    state.counters["stop_ms_median"] = Median(ms);
    state.counters["stop_ms_max"] = ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end());
}

// range(0): 0 the library's session with an installed C callback, 1 the bare
// loop, 2 the bare loop with libpcap's default ring; range(1): segments per message (1 or 4); range(2): frames per second
// (0: as fast as the sender goes). Each iteration sends one run of frames;
// counters: received rate, frames lost (sent - received), kernel drops the
// capture reported, and the receiving thread's share of a core.
void BM_ReceiveRate(benchmark::State &state) {
    const bool bare = state.range(0) != 0;
    const int segments = static_cast<int>(state.range(1));
    const double rate = static_cast<double>(state.range(2));
    const uint64_t count = rate > 0 ? static_cast<uint64_t>(rate) : 300000;  // 1 s paced, or a burst
    gSegmentsPerMessage = segments;
    std::unique_ptr<BareLoop> loop;
    std::unique_ptr<Installed> cb;
    pcap_t *handle = nullptr;
    if (bare) {
        loop = std::make_unique<BareLoop>(kLocal, state.range(0) == 2);
        handle = loop->handle();
    } else if (LCMPInit(kLocal) == 0) {
        cb = std::make_unique<Installed>(CountArrival);
        handle = lcmp::fp;
    }
    BurstSender sender(kPeer);
    const std::vector<Bytes> frames = RateFrames(SysfsMac(kLocal), segments);
    if (handle == nullptr || !sender.ok()) {
        state.SkipWithError("cannot open the receiver or the sender");
        if (!bare) LCMPEnd();
        return;
    }
    // One message first, so that the receiving thread is known and warm.
    gArrivals.frames = 0;
    gArrivals.tid = 0;
    sender.Send(frames, static_cast<uint64_t>(segments), 0);
    for (int i = 0; i < 300 && gArrivals.frames.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (gArrivals.tid.load() == 0) {
        state.SkipWithError("the first message was not received");
        if (!bare) LCMPEnd();
        return;
    }
    double fps = 0, lost = 0, cpu = 0, sendRate = 0, received = 0;
    pcap_stat before{}, after{};
    pcap_stats(handle, &before);
    for (auto _ : state) {
        gArrivals.frames = 0;
        const double cpu0 = ThreadCpuSeconds(gArrivals.tid.load());
        const auto t0 = Clock::now();
        const uint64_t sent = sender.Send(frames, count - count % static_cast<uint64_t>(segments), rate);
        const std::chrono::duration<double> sending = Clock::now() - t0;
        // Wait until everything arrived, or nothing more arrived for 300 ms.
        uint64_t seen = gArrivals.frames.load();
        for (int quiet = 0; seen < sent && quiet < 300;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const uint64_t now = gArrivals.frames.load();
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
        }
        const double took = static_cast<double>(gArrivals.lastNs.load() - t0.time_since_epoch().count()) * 1e-9;
        state.SetIterationTime(std::max(took, 1e-6));
        fps += static_cast<double>(seen) / std::max(took, 1e-6);
        lost += static_cast<double>(sent - std::min(seen, sent));
        cpu += (ThreadCpuSeconds(gArrivals.tid.load()) - cpu0) / std::max(took, 1e-6);
        sendRate += static_cast<double>(sent) / sending.count();
        received += static_cast<double>(seen);
    }
    pcap_stats(handle, &after);
    const auto n = static_cast<double>(state.iterations());
    state.counters["fps"] = fps / n;
    state.counters["lost"] = lost / n;
    state.counters["received"] = received / n;
    state.counters["send_fps"] = sendRate / n;
    state.counters["cpu_share"] = cpu / n;
    state.counters["kernel_drops"] = static_cast<double>(after.ps_drop - before.ps_drop);
    cb.reset();
    loop.reset();
    if (!bare) LCMPEnd();
}

// ---- Memory ----

long ResidentKb() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One million frames through the per-frame function (unsegmented messages,
// 4-segment messages, and segments whose message never completes and is
// aged out) and 100 000 install/uninstall cycles; resident size after a
// warm-up tenth and at the end.
void BM_MemorySoak(benchmark::State &state) {
    Installed cb(Count);
    const Bytes single = LcmpFrame({}, Confirmation(kRecords));
    Bytes records;
    for (int i = 0; i < 4; ++i) records.insert(records.end(), kRecords.begin(), kRecords.end());
    const Bytes message = Confirmation(records);
    const std::size_t piece = (message.size() + 3) / 4;
    std::vector<Bytes> segmented;
    for (int s = 0; s < 4; ++s) {
        const std::size_t from = s * piece, to = std::min(message.size(), from + piece);
        segmented.push_back(Bytes(message.begin() + from, message.begin() + to));
    }
    long warm = 0, end = 0;
    for (auto _ : state) {
        timeval t{1700000000, 0};
        uint16_t seq = 0;
        auto tick = [&] {
            if (++t.tv_usec == 1000000) {
                t.tv_usec = 0;
                ++t.tv_sec;
            }
        };
        constexpr int kFrames = 1000000, kCycles = 100000;
        for (int i = 0, cycle = 0; i < kFrames;) {
            if (i >= kFrames / 10 && warm == 0) warm = ResidentKb();
            tick();
            switch (i % 10) {
                case 0: {  // 4-segment message, segments in reverse order
                    ++seq;
                    for (int s = 3; s >= 0; --s, ++i)
                        lcmp::HandleFrame(t, LcmpFrame({.lastSegment = 3, .segment = static_cast<uint8_t>(s), .sequence = seq}, segmented[s]));
                    break;
                }
                case 4: {  // a segment whose message never completes
                    ++seq;
                    lcmp::HandleFrame(t, LcmpFrame({.lastSegment = 3, .segment = 1, .sequence = seq}, segmented[1]));
                    ++i;
                    break;
                }
                default:
                    lcmp::HandleFrame(t, single);
                    ++i;
            }
            if (i % 10 == 0 && cycle < kCycles) {
                ++cycle;
                CallbackData *d = CallbackDataCreate(nullptr, 0, 0, nullptr);
                LCMPCallBackUninstall(LCMPCallBackInstall(Count, 0x161, d));
                CallbackDataDestroy(d);
            }
        }
        end = ResidentKb();
    }
    lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    state.counters["rss_warm_kb"] = static_cast<double>(warm);
    state.counters["rss_end_kb"] = static_cast<double>(end);
    state.counters["rss_growth_pct"] = warm > 0 ? 100.0 * static_cast<double>(end - warm) / static_cast<double>(warm) : 0;
}
BENCHMARK(BM_MemorySoak)->Iterations(1)->Unit(benchmark::kMillisecond);

// A flood of first segments that never complete, one per microsecond of
// capture time from distinct senders: the most messages reassembly holds
// at once, against what 50 ms of that traffic amounts to (50 001).
void BM_ReassemblyBound(benchmark::State &state) {
    std::size_t most = 0;
    for (auto _ : state) {
        timeval t{1700000000, 0};
        FrameFields fields{.lastSegment = 3};
        for (uint32_t i = 0; i < 300000; ++i) {
            t.tv_usec = static_cast<suseconds_t>(i % 1000000);
            t.tv_sec = 1700000000 + static_cast<time_t>(i / 1000000);
            fields.sequence = static_cast<uint16_t>(i);
            fields.source[3] = static_cast<uint8_t>(i >> 16);
            fields.source[4] = static_cast<uint8_t>(i >> 8);
            lcmp::HandleFrame(t, LcmpFrame(fields, {0x05}));
            const lcmp::SegmentedFramesList *list = lcmp::lcmpSegmentedFramesList;
            if (list != nullptr) {
                std::size_t n = 0;
                if (i % 4096 == 0)
                    for (const lcmp::SegmentedFrame *f = list->first; f; f = f->next) ++n;
                else
                    n = list->count;
                most = std::max(most, n);
            }
        }
        lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    }
    state.counters["held_max"] = static_cast<double>(most);
    state.counters["held_bound"] = 50001;
}
BENCHMARK(BM_ReassemblyBound)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same flood with full-size segments (1 492 bytes): by age alone 50 ms
// of it would hold about 75 MB; the byte limit keeps it near 4 MiB. The
// resident size is sampled every 1 024 frames against the size before.
void BM_ReassemblyFullSizeFlood(benchmark::State &state) {
    long before = 0, most = 0;
    uint64_t heldMost = 0;
    LCMPReassemblyStats start{}, end{}, now{};
    const Bytes full(lcmp::kMaxPayload, 0x5A);
    for (auto _ : state) {
        LCMPReassemblyStatsGet(&start);
        malloc_trim(0);  // the heap that earlier benchmarks freed does not hide the growth
        before = ResidentKb();
        timeval t{1700000000, 0};
        FrameFields fields{.lastSegment = 3};
        for (uint32_t i = 0; i < 300000; ++i) {
            t.tv_usec = static_cast<suseconds_t>(i % 1000000);
            fields.sequence = static_cast<uint16_t>(i);
            fields.source[3] = static_cast<uint8_t>(i >> 16);
            fields.source[4] = static_cast<uint8_t>(i >> 8);
            lcmp::HandleFrame(t, LcmpFrame(fields, full));
            if (i % 1024 == 0) {
                most = std::max(most, ResidentKb() - before);
                LCMPReassemblyStatsGet(&now);
                heldMost = std::max(heldMost, now.bytesHeld);
            }
        }
        LCMPReassemblyStatsGet(&end);
        lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
    }
    state.counters["rss_growth_kb"] = static_cast<double>(most);
    state.counters["held_kb_max"] = static_cast<double>(heldMost) / 1024;
    state.counters["limit_kb"] = LCMP_REASSEMBLY_BYTE_LIMIT / 1024.0;
    state.counters["age_bound_kb"] = 50001.0 * static_cast<double>(full.size()) / 1024;
    state.counters["dropped_by_limit"] = static_cast<double>(end.droppedByByteLimit - start.droppedByByteLimit);
}
BENCHMARK(BM_ReassemblyFullSizeFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

int Run(int argc, char **argv) {
    if (SkipReason().empty()) {
        benchmark::RegisterBenchmark("BM_StopLatencyQuietLine", BM_StopLatencyQuietLine)
            ->UseManualTime()
            ->Iterations(30)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_StopBareLoop", BM_StopBareLoop)
            ->UseManualTime()
            ->Iterations(30)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_WireToCallback", BM_WireToCallback)
            ->UseManualTime()
            ->Iterations(500)
            ->Unit(benchmark::kMicrosecond);
        // Library and bare loop side by side: bursts of unsegmented and
        // 4-segment messages, then the paced management rate.
        for (int64_t rate : {int64_t{0}, int64_t{100000}})
            for (int64_t segments : {int64_t{1}, int64_t{4}})
                for (int64_t bare : {int64_t{2}, int64_t{1}, int64_t{0}})
                    benchmark::RegisterBenchmark("BM_ReceiveRate", BM_ReceiveRate)
                        ->Args({bare, segments, rate})
                        ->ArgNames({"bare", "segments", "rate"})
                        ->UseManualTime()
                        ->Iterations(rate > 0 ? 2 : 5)
                        ->Unit(benchmark::kMillisecond);
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
