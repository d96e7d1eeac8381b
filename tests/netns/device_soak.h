// An end-to-end soak of device mode, for a test and a benchmark: threads of
// this process write and read back, each on a simulated device of its own
// (lcmp-device's default addresses, 02:00:00:00:01:01 onwards), while a
// second process (lcmp-ctl runs, one after another) reads the same devices
// through the same adapter. Every call must return its own request's answer
// or a timeout; anything else is counted as a wrong answer and described.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lcmptest {

struct SoakOptions {
    const char *adapter = nullptr;  // the session's adapter, already open with LCMPInit
    const char *ctl = nullptr;      // lcmp-ctl, run on the same adapter (nullptr: no second process)
    int threads = 8;
    std::chrono::milliseconds duration{3000};
    uint32_t timeoutMs = 40, attempts = 3;  // per attempt, as LCMPRequestModeSet takes them
};

struct SoakResult {
    uint64_t calls = 0, answered = 0, timeouts = 0, wrong = 0, failed = 0;  // this process's calls
    uint64_t ctlRuns = 0, ctlAnswered = 0, ctlTimeouts = 0, ctlWrong = 0;    // the second process's reads
    double seconds = 0;
    std::vector<std::string> examples;  // the first wrong answers, described
    double Rate() const { return seconds > 0 ? static_cast<double>(calls) / seconds : 0; }
};

// Switches the library to device mode with the options' timeout and
// attempts, gives every thread's parameter a first value, runs the soak
// and switches back to local mode. The simulator must answer for the
// devices (lcmp-device -n THREADS or more, default table).
SoakResult DeviceSoak(const SoakOptions &options);

// Runs `program` with `args`, standard error to /dev/null: its exit status
// (-1 when it did not start or did not exit) and standard output.
std::pair<int, std::string> RunProgram(const char *program, const std::vector<std::string> &args);

}  // namespace lcmptest
