// Device mode under Wine beside native: the round trip of a one-parameter
// LCMPRead to one simulated device, and LCMPEnd on a quiet line. Built for
// Linux and for Windows from this one source (bench/windows_bench.sh runs
// both against the same lcmp-device); uses only the C interface.
//
//   lcmp_wine_round_trip ADAPTER [READS] [SESSIONS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "lcmp.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: lcmp_wine_round_trip ADAPTER [READS] [SESSIONS]\n");
        return 2;
    }
    const int reads = argc > 2 ? std::atoi(argv[2]) : 2000, sessions = argc > 3 ? std::atoi(argv[3]) : 20;
    const uint8_t device[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
    if (LCMPInit(argv[1]) != 0 || LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, 1000, 1) != 0) return 1;
    const uint8_t id = 0x01;
    std::vector<double> trips;
    for (int i = 0; i < reads + 100; ++i) {  // the first 100 warm up
        LCMPValueList *request = nullptr, *result = nullptr;
        LCMPValueAdd(&request, 1, &id);
        const auto start = Clock::now();
        const int32_t rc = LCMPRead(request, LCMP_DESTINATION_DEVICE, device, &result);
        const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        const bool answered = rc == 0 && result != nullptr && result->first != nullptr;
        LCMPValueListDestroy(request);
        LCMPValueListDestroy(result);
        if (!answered) {
            std::fprintf(stderr, "read %d failed (%d)\n", i, static_cast<int>(rc));
            return 1;
        }
        if (i >= 100) trips.push_back(took);
    }
    LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);
    LCMPEnd();

    std::vector<double> ends;
    for (int i = 0; i < sessions; ++i) {
        if (LCMPInit(argv[1]) != 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the loop waits on a quiet line
        const auto start = Clock::now();
        LCMPEnd();
        ends.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("round trip median %.1f us (p90 %.1f us, %d reads); LCMPEnd median %.2f ms, max %.2f ms (%d sessions)\n",
                Median(trips), [&] {
                    std::sort(trips.begin(), trips.end());
                    return trips[trips.size() * 9 / 10];
                }(),
                reads, Median(ends), *std::max_element(ends.begin(), ends.end()), sessions);
    return 0;
}
