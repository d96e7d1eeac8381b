#include "netns_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace lcmptest {
namespace {

constexpr const char *kInsideVariable = "LCMP_NETNS_INSIDE";
constexpr const char *kPrefix = "lcmp-t";

std::string gSkipReason = "the namespace was not set up";
volatile sig_atomic_t gChild = 0;

void Forward(int signal) {
    if (gChild > 0) kill(static_cast<pid_t>(gChild), signal);
}

// Namespaces left by earlier runs of these programs that were killed outright
// (their creator's process id no longer exists).
void SweepStale() {
    DIR *dir = opendir("/run/netns");
    if (dir == nullptr) return;
    while (const dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(kPrefix, 0) != 0) continue;
        const long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            Shell("ip netns del " + name + " 2>/dev/null");
    }
    closedir(dir);
}

bool CreateNamespace(const std::string &ns) {
    if (!Shell("ip netns add " + ns + " 2>/dev/null")) return false;
    const std::string in = "ip netns exec " + ns + " ";
    // A quiet line: no IPv6 neighbour discovery on the new adapters.
    return Shell(in + "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"
                      " >/dev/null 2>&1 || true") &&
           Shell("ip -n " + ns + " link add " + kLocal + " type veth peer name " + kPeer) &&
           Shell("ip -n " + ns + " link set lo up") && Shell("ip -n " + ns + " link set " + kLocal + " up") &&
           Shell("ip -n " + ns + " link set " + kPeer + " up");
}

int RunInside(const std::string &ns, int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    std::vector<char *> args{const_cast<char *>("ip"), const_cast<char *>("netns"), const_cast<char *>("exec"),
                             const_cast<char *>(ns.c_str()), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        setenv(kInsideVariable, "1", 1);
        execvp("ip", args.data());
        _exit(127);
    }
    gChild = child;
    struct sigaction forward {};
    forward.sa_handler = Forward;
    sigemptyset(&forward.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &forward, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    gChild = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

bool Shell(const std::string &command) { return std::system(command.c_str()) == 0; }

const std::string &SkipReason() { return gSkipReason; }

int NamespaceMain(int argc, char **argv, int (*body)(int, char **)) {
    if (std::getenv(kInsideVariable) != nullptr) {
        gSkipReason.clear();
        return body(argc, argv);
    }
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "list_tests") != nullptr) return body(argc, argv);  // listing only
    if (geteuid() != 0) {
        gSkipReason = "needs root: network namespaces, veth pairs and raw sockets";
        return body(argc, argv);
    }
    SweepStale();
    std::random_device random;
    const std::string ns = kPrefix + std::to_string(getpid()) + "-" + std::to_string(random() % 1000000);
    if (!CreateNamespace(ns)) {
        Shell("ip netns del " + ns + " 2>/dev/null");
        gSkipReason = "network namespaces or veth pairs are unavailable here";
        return body(argc, argv);
    }
    const int status = RunInside(ns, argc, argv);
    Shell("ip netns del " + ns);  // its adapters go with it
    return status;
}

Mac SysfsMac(const char *adapter) {
    Mac mac{};
    std::ifstream in(std::string("/sys/class/net/") + adapter + "/address");
    std::string text;
    in >> text;
    unsigned v[6] = {};
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6)
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
    return mac;
}

RawPort::RawPort(const char *adapter) {
    ifindex_ = static_cast<int>(if_nametoindex(adapter));
    if (ifindex_ == 0) return;
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) return;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = ifindex_;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

RawPort::~RawPort() {
    if (fd_ >= 0) close(fd_);
}

bool RawPort::Send(const Bytes &frame) {
    return fd_ >= 0 && send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

std::optional<Bytes> RawPort::Receive(uint16_t ethertype, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes buffer(2048);
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 14 || from.sll_pkttype == PACKET_OUTGOING) continue;  // our own injections
        if (((buffer[12] << 8) | buffer[13]) != ethertype) continue;
        return Bytes(buffer.begin(), buffer.begin() + n);
    }
    return std::nullopt;
}

Bytes LcmpFrame(const FrameFields &s, const Bytes &payload) {
    Bytes f;
    f.reserve(22 + payload.size());
    for (uint8_t b : s.destination) f.push_back(b);
    for (uint8_t b : s.source) f.push_back(b);
    const std::size_t len = payload.size();
    const uint8_t header[10] = {static_cast<uint8_t>(s.ethertype >> 8),
                                static_cast<uint8_t>(s.ethertype),
                                static_cast<uint8_t>(len),
                                static_cast<uint8_t>(((len >> 8) & 0x0F) | ((s.opcode & 0x0F) << 4)),
                                static_cast<uint8_t>(s.opcode >> 4),
                                0,
                                static_cast<uint8_t>(s.lastSegment | (s.segment << 4)),
                                static_cast<uint8_t>(s.sequence),
                                static_cast<uint8_t>(s.sequence >> 8),
                                0};
    for (uint8_t b : header) f.push_back(b);
    for (uint8_t b : payload) f.push_back(b);
    return f;
}

Bytes Confirmation(const Bytes &records) {
    Bytes m;
    m.reserve(3 + records.size());
    m.push_back(0x05);
    m.push_back(static_cast<uint8_t>(records.size()));
    m.push_back(static_cast<uint8_t>(records.size() >> 8));
    for (uint8_t b : records) m.push_back(b);
    return m;
}

int SpawnUntilReady(const char *program, const std::vector<std::string> &args, const char *ready) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string err;
    char buffer[256];
    pollfd p{fds[0], POLLIN, 0};
    while (pid > 0 && err.find(ready) == std::string::npos && poll(&p, 1, 5000) > 0) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        err.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (pid < 0) return -1;
    if (err.find(ready) == std::string::npos) {
        std::fprintf(stderr, "%s did not start: %s\n", program, err.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

}  // namespace lcmptest
