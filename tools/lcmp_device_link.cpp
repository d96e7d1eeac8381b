// lcmp-device's adapter I/O: Linux's packet socket under libpcap, or Npcap on
// Windows (see lcmp_device_link.h).
#include "lcmp_device_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "lcmp_tool_common.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

namespace lcmpdevice {

#ifdef _WIN32

bool PromiscuousCapture() { return true; }

bool MembershipsAdd(pcap_t *, const char *, const std::vector<const uint8_t *> &) { return true; }

std::size_t FramesSend(pcap_t *handle, std::span<const std::span<const uint8_t>> frames, std::string *error) {
    std::size_t sent = 0;
    for (const auto frame : frames) {
        if (pcap_sendpacket(handle, frame.data(), static_cast<int>(frame.size())) != 0) {
            if (sent == 0) *error = pcap_geterr(handle);
            break;
        }
        ++sent;
    }
    return sent;
}

// Frame by frame: Wine's capture library hands frames over through
// pcap_next_ex, as the library's own receive loop reads them.
int FramesRead(pcap_t *handle, pcap_handler handler, u_char *context) {
    int count = 0;
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int result = pcap_next_ex(handle, &header, &data);
        if (result < 0) return count > 0 ? count : -1;
        if (result == 0) return count;
        handler(context, header, data);
        ++count;
    }
}

void StopSignalsInstall(volatile std::sig_atomic_t *stop) {
    static volatile std::sig_atomic_t *target = stop;
    target = stop;
    std::signal(SIGINT, [](int) { *target = 1; });
    std::signal(SIGTERM, [](int) { *target = 1; });
}

// The capture is non-blocking and Npcap's wait event is not offered by
// every capture library: a wait of at most a millisecond stands in.
Wait FramesWait(pcap_t *, std::optional<std::chrono::steady_clock::time_point> wake, std::string *) {
    DWORD ms = 1;
    if (wake && *wake <= std::chrono::steady_clock::now()) ms = 0;
    Sleep(ms);
    return Wait::Ready;
}

#else

namespace {

constexpr std::size_t kMaxUnicastMemberships = 4096;
sigset_t gWaiting;  // the signal mask while waiting: SIGINT and SIGTERM let through

}  // namespace

bool PromiscuousCapture() { return false; }

// The memberships go with the capture socket. The kernel keeps a socket's
// memberships in a list it searches on every addition: beyond a few
// thousand addresses, joining them one by one takes longer than promiscuous
// capture costs.
bool MembershipsAdd(pcap_t *handle, const char *adapter, const std::vector<const uint8_t *> &addresses) {
    const int fd = pcap_fileno(handle);
    packet_mreq request{};
    request.mr_ifindex = static_cast<int>(if_nametoindex(adapter));
    request.mr_alen = 6;
    const auto add = [&](unsigned short type, const uint8_t *address) {
        request.mr_type = type;
        if (address != nullptr) std::memcpy(request.mr_address, address, 6);
        return setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &request, sizeof request) == 0;
    };
    if (!add(PACKET_MR_MULTICAST, lcmp::kMulticastMac))
        std::fprintf(stderr, "lcmp-device: cannot join the LCMP multicast group on %s: %s\n", adapter,
                     std::strerror(errno));
    if (addresses.size() > kMaxUnicastMemberships) {
        std::fprintf(stderr, "lcmp-device: more than %zu devices: capturing promiscuously on %s\n",
                     kMaxUnicastMemberships, adapter);
        if (add(PACKET_MR_PROMISC, nullptr)) return true;
        std::fprintf(stderr, "lcmp-device: cannot capture promiscuously on %s: %s\n", adapter, std::strerror(errno));
        return false;
    }
    for (const uint8_t *address : addresses) {
        if (add(PACKET_MR_UNICAST, address)) continue;
        std::fprintf(stderr, "lcmp-device: %s refuses the device address %s (%s): capturing promiscuously\n",
                     adapter, lcmptools::Mac(address).c_str(), std::strerror(errno));
        if (add(PACKET_MR_PROMISC, nullptr)) return true;
        std::fprintf(stderr, "lcmp-device: cannot capture promiscuously on %s: %s\n", adapter, std::strerror(errno));
        return false;
    }
    return true;
}

std::size_t FramesSend(pcap_t *handle, std::span<const std::span<const uint8_t>> frames, std::string *error) {
    constexpr std::size_t kBatch = 64;
    std::array<iovec, kBatch> vectors{};
    std::array<mmsghdr, kBatch> messages{};
    const std::size_t count = std::min(frames.size(), kBatch);
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i] = {const_cast<uint8_t *>(frames[i].data()), frames[i].size()};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int sent = sendmmsg(pcap_fileno(handle), messages.data(), static_cast<unsigned>(count), 0);
        if (sent > 0) return static_cast<std::size_t>(sent);
        if (sent < 0 && errno == EINTR) continue;
        *error = std::strerror(errno);
        return 0;
    }
}

void StopSignalsInstall(volatile std::sig_atomic_t *stop) {
    static volatile std::sig_atomic_t *target = stop;
    target = stop;
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &gWaiting);
    sigdelset(&gWaiting, SIGINT);
    sigdelset(&gWaiting, SIGTERM);
    struct sigaction action {};
    action.sa_handler = [](int) { *target = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int FramesRead(pcap_t *handle, pcap_handler handler, u_char *context) {
    return pcap_dispatch(handle, -1, handler, context);
}

Wait FramesWait(pcap_t *handle, std::optional<std::chrono::steady_clock::time_point> wake, std::string *error) {
    pollfd capture{pcap_get_selectable_fd(handle), POLLIN, 0};
    timespec timeout{};
    if (wake) {
        const auto left = std::max(std::chrono::steady_clock::duration::zero(), *wake - std::chrono::steady_clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    const int ready = ppoll(&capture, 1, wake ? &timeout : nullptr, &gWaiting);
    if (ready < 0) {
        if (errno == EINTR) return Wait::Idle;
        *error = std::strerror(errno);
        return Wait::Failed;
    }
    if (ready == 0) return Wait::Idle;
    if ((capture.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (capture.revents & POLLIN) == 0) return Wait::Ended;
    return Wait::Ready;
}

#endif

}  // namespace lcmpdevice
