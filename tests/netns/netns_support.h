// A network namespace of the test's own with a veth pair, for tests and
// benchmarks that run the library on real adapters.
//
// NamespaceMain runs in the process that ctest starts. As root it creates a
// namespace with a unique name, adds the veth pair lcmp0 (the library's end)
// and lcmp1 (the test's end) inside it, runs this same program again inside
// the namespace (`ip netns exec`), waits for it and removes the namespace,
// whatever way the inner run ended. Without root, or when namespaces cannot be
// made, it runs the body in place with a skip reason set, and every test that
// needs the namespace reports itself skipped.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lcmptest {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

inline constexpr const char *kLocal = "lcmp0";  // opened with LCMPInit
inline constexpr const char *kPeer = "lcmp1";   // frames injected and captured here

// Runs `body` inside a fresh namespace when possible (see above) and returns
// its exit status. Call it first in main, with the untouched arguments.
int NamespaceMain(int argc, char **argv, int (*body)(int, char **));

// Empty inside the namespace; otherwise why the namespace is not available.
const std::string &SkipReason();

// Runs a command through the shell inside the current namespace; true on exit 0.
bool Shell(const std::string &command);

// Starts `program` with `args` and waits up to 5 s for `ready` on its
// standard error. The process id, or -1 (the process is then stopped again).
// The rest of its standard error goes nowhere.
int SpawnUntilReady(const char *program, const std::vector<std::string> &args, const char *ready);

// The adapter's address as the kernel shows it in sysfs.
Mac SysfsMac(const char *adapter);

// A raw packet socket bound to one adapter: injects whole Ethernet frames and
// captures every frame that the adapter sends or receives.
class RawPort {
public:
    explicit RawPort(const char *adapter);
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;
    ~RawPort();
    bool ok() const { return fd_ >= 0; }
    bool Send(const Bytes &frame);
    // The next frame of the given Ethertype that arrives at the adapter
    // within the timeout.
    std::optional<Bytes> Receive(uint16_t ethertype, std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    int ifindex_ = 0;
};

// An LCMP frame, written byte by byte.
struct FrameFields {
    Mac destination{};
    Mac source{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint16_t ethertype = 0x22E3;
    uint16_t opcode = 0x161;
    uint8_t lastSegment = 0;
    uint8_t segment = 0;
    uint16_t sequence = 0;
};
Bytes LcmpFrame(const FrameFields &fields, const Bytes &payload);
// A message in confirmation shape: lead byte, record-area length, records.
Bytes Confirmation(const Bytes &records);

}  // namespace lcmptest
