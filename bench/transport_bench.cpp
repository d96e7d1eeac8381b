// Benchmarks of the link transport.
//
// Everywhere: the per-frame function for unsegmented and segmented messages,
// and its cost with many partial messages under reassembly.
// As root, in a namespace of their own with a veth pair (as the namespace
// tests): the time LCMPEnd takes on a quiet line, and the time from a frame
// injected on the veth to its callback. Both report median and maximum as
// counters (stop_ms_*, wire_us_*).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "netns_support.h"
#include "reassembly.h"

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
// savefile may carry), so ageing walks every record.
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

int Run(int argc, char **argv) {
    if (SkipReason().empty()) {
        benchmark::RegisterBenchmark("BM_StopLatencyQuietLine", BM_StopLatencyQuietLine)
            ->UseManualTime()
            ->Iterations(30)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_WireToCallback", BM_WireToCallback)
            ->UseManualTime()
            ->Iterations(500)
            ->Unit(benchmark::kMicrosecond);
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
