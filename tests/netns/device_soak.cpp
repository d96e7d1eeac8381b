#include "device_soak.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "lcmp.h"

namespace lcmptest {
namespace {

using Bytes = std::vector<uint8_t>;
using Mac6 = std::array<uint8_t, 6>;

// lcmp-device's starting table, parameters 01 to 08.
const std::array<const char *, 8> kTable{"4C434D50", "0100", "00000000", "05DC", "0102A0", "00", "DEADBEEF",
                                         "0011223344556677"};

Mac6 Device(int n) { return {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(0x01 + n)}; }
uint8_t OwnId(int t) { return static_cast<uint8_t>(0x10 + t); }        // written and read by thread t only
uint8_t TableId(int t) { return static_cast<uint8_t>(0x01 + t % 8); }  // never written

std::string Hex(const uint8_t *bytes, std::size_t n, const char *between = "") {
    std::string out;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        if (i != 0) out += between;
        out += b;
    }
    return out;
}

struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0}, answered{0}, timeouts{0}, wrong{0}, failed{0};
    std::atomic<uint64_t> ctlRuns{0}, ctlAnswered{0}, ctlTimeouts{0}, ctlWrong{0};
    std::mutex mutex;
    std::vector<std::string> examples;
    void Wrong(std::atomic<uint64_t> &counter, std::string what) {
        ++counter;
        std::lock_guard lock(mutex);
        if (examples.size() < 10) examples.push_back(std::move(what));
    }
};

// One call: rc, and the result's entries described as "SOURCE TYPE HEX".
struct Call {
    int32_t rc = 0;
    std::vector<std::string> entries;
};
Call Do(int32_t (*op)(LCMPValueList *, int32_t, const uint8_t *, LCMPValueList **), const Mac6 &device,
        const Bytes &entry) {
    LCMPValueList *request = nullptr, *result = nullptr;
    LCMPValueAdd(&request, static_cast<uint16_t>(entry.size()), entry.data());
    Call call;
    call.rc = op(request, 0, device.data(), &result);
    for (const LCMPValue *v = result ? result->first : nullptr; v; v = v->next)
        call.entries.push_back(Hex(v->sourceMac, 6, ":") + " " + std::to_string(v->type) + " " +
                               Hex(v->value, v->length));
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);
    return call;
}

std::string Describe(const char *what, int t, const Call &call) {
    std::ostringstream out;
    out << "thread " << t << " " << what << ": rc " << call.rc << ", " << call.entries.size() << " entries";
    for (const auto &e : call.entries) out << " [" << e << "]";
    return out.str();
}

// Thread t: writes a new value to its own parameter on its own device and
// reads it back, until stopped. The device holds the value of the last write
// that reached it; after a timed-out write that may be the new value or the
// one before, so a read may return any value written since the last one
// confirmed.
void Worker(int t, Shared &shared) {
    const Mac6 device = Device(t);
    const std::string source = Hex(device.data(), 6, ":");
    const uint8_t id = OwnId(t);
    // Hex of the values the device may hold: at first the one DeviceSoak wrote.
    const uint8_t first[] = {static_cast<uint8_t>(t), 0, 0, 0, 0};
    std::set<std::string> possible{Hex(first, sizeof first)};
    for (uint32_t counter = 1; !shared.stop.load(std::memory_order_relaxed); ++counter) {
        const Bytes value{static_cast<uint8_t>(t), static_cast<uint8_t>(counter >> 24),
                          static_cast<uint8_t>(counter >> 16), static_cast<uint8_t>(counter >> 8),
                          static_cast<uint8_t>(counter)};
        Bytes entry{id};
        entry.insert(entry.end(), value.begin(), value.end());
        Call call = Do(LCMPWrite, device, entry);
        ++shared.calls;
        if (call.rc == 0 && call.entries == std::vector<std::string>{source + " 1 01" + Hex(&id, 1)}) {
            ++shared.answered;
            possible = {Hex(value.data(), value.size())};
        } else if (call.rc == LCMP_ERROR_TIMEOUT && call.entries.empty()) {
            ++shared.timeouts;
            possible.insert(Hex(value.data(), value.size()));
        } else if (call.rc == 0 || call.rc == LCMP_ERROR_TIMEOUT) {
            shared.Wrong(shared.wrong, Describe("write", t, call));
        } else {
            ++shared.failed;
        }

        call = Do(LCMPRead, device, {id});
        ++shared.calls;
        const std::string prefix = source + " 0 " + Hex(&id, 1);
        if (call.rc == 0 && call.entries.size() == 1 && call.entries[0].rfind(prefix, 0) == 0 &&
            possible.count(call.entries[0].substr(prefix.size())) == 1) {
            ++shared.answered;
            possible = {call.entries[0].substr(prefix.size())};
        } else if (call.rc == LCMP_ERROR_TIMEOUT && call.entries.empty()) {
            ++shared.timeouts;
        } else if (call.rc == 0 || call.rc == LCMP_ERROR_TIMEOUT) {
            shared.Wrong(shared.wrong, Describe("read", t, call));
        } else {
            ++shared.failed;
        }
    }
}

}  // namespace

std::pair<int, std::string> RunProgram(const char *program, const std::vector<std::string> &args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv{const_cast<char *>(program)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while (spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return {-1, text};
    return {WEXITSTATUS(status), text};
}

namespace {

// The second process: lcmp-ctl reads, one after another, of a thread's
// parameter and a parameter of the starting table from the thread's device.
void SecondProcess(const SoakOptions &options, Shared &shared) {
    for (int t = 0; !shared.stop.load(std::memory_order_relaxed); t = (t + 1) % options.threads) {
        const Mac6 device = Device(t);
        const uint8_t own = OwnId(t), table = TableId(t), tag = static_cast<uint8_t>(t);
        const std::string source = Hex(device.data(), 6, ":");
        const auto [status, text] =
            RunProgram(options.ctl, {"-i", options.adapter, "-t", std::to_string(options.timeoutMs), "-a",
                                 std::to_string(options.attempts), "read", source, Hex(&own, 1), Hex(&table, 1)});
        ++shared.ctlRuns;
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '/') lines.push_back(line);  // the library's registry line
        const std::string ownLine = source + " " + Hex(&own, 1) + " " + Hex(&tag, 1);
        const bool right = status == 0 && lines.size() == 2 && lines[0].rfind(ownLine, 0) == 0 &&
                           lines[0].size() == ownLine.size() + 8 &&
                           lines[1] == source + " " + Hex(&table, 1) + " " + kTable[table - 1];
        if (right) {
            ++shared.ctlAnswered;
        } else if (status == 1 && lines.empty()) {
            ++shared.ctlTimeouts;
        } else {
            std::string what = "lcmp-ctl read of " + Hex(&own, 1) + " " + Hex(&table, 1) + " from " + source +
                               ": status " + std::to_string(status);
            for (const auto &l : lines) what += " [" + l + "]";
            shared.Wrong(shared.ctlWrong, what);
        }
    }
}

}  // namespace

SoakResult DeviceSoak(const SoakOptions &options) {
    Shared shared;
    SoakResult result;
    if (LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, options.timeoutMs, options.attempts) != 0) return result;
    // A first value for every thread's parameter, so that every read of it
    // has an answer from the start.
    for (int t = 0; t < options.threads; ++t) {
        const Bytes first{OwnId(t), static_cast<uint8_t>(t), 0, 0, 0, 0};  // as Worker expects it
        int tries = 0;
        while (Do(LCMPWrite, Device(t), first).rc != 0 && ++tries < 50) {
        }
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < options.threads; ++t) threads.emplace_back(Worker, t, std::ref(shared));
    if (options.ctl != nullptr) threads.emplace_back(SecondProcess, std::cref(options), std::ref(shared));
    std::this_thread::sleep_for(options.duration);
    shared.stop = true;
    for (auto &thread : threads) thread.join();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, 500, 3);

    result.calls = shared.calls;
    result.answered = shared.answered;
    result.timeouts = shared.timeouts;
    result.wrong = shared.wrong;
    result.failed = shared.failed;
    result.ctlRuns = shared.ctlRuns;
    result.ctlAnswered = shared.ctlAnswered;
    result.ctlTimeouts = shared.ctlTimeouts;
    result.ctlWrong = shared.ctlWrong;
    result.examples = shared.examples;
    return result;
}

}  // namespace lcmptest
