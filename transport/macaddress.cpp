// Adapter address query: the current hardware address of a named adapter,
// read with the Linux interface ioctls.
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "LCMP_comm.h"
#include "descriptor.h"
#include "lcmp.h"

namespace {

void ReportOpenFailure(const char *adapterName, int code) {
    std::fprintf(stderr, "Unable to open the adapter %s, error Code : %lx\n", adapterName,
                 static_cast<unsigned long>(code));
}

}  // namespace

extern "C" int32_t MacAddressGet(const char *adapterName, uint8_t *mac) {
    if (adapterName == nullptr || mac == nullptr) return -1;

    // Opening the adapter: a socket for the interface ioctls, and the
    // adapter's index, which exists only for an adapter of that name.
    lcmp::Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        ReportOpenFailure(adapterName, errno);
        return -1;
    }
    const std::size_t nameLength = strnlen(adapterName, IFNAMSIZ);
    if (nameLength >= IFNAMSIZ) {
        ReportOpenFailure(adapterName, ENODEV);
        return -1;
    }
    ifreq probe{};
    std::memcpy(probe.ifr_name, adapterName, nameLength);
    if (::ioctl(socket.get(), SIOCGIFINDEX, &probe) < 0) {
        ReportOpenFailure(adapterName, errno);
        return -1;
    }

    lcmp::Buffer storage = lcmp::AllocateBuffer(sizeof(ifreq));
    if (!storage) {
        std::fprintf(stderr, "error allocating memory!\n");
        return -1;
    }
    auto *request = new (storage.get()) ifreq{};
    std::memcpy(request->ifr_name, adapterName, nameLength);

    // Only an Ethernet adapter has an 802.3 address (the loopback reports
    // zeros under a different hardware type).
    if (::ioctl(socket.get(), SIOCGIFHWADDR, request) < 0 || request->ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        std::fprintf(stderr, "error retrieving the MAC address of the adapter!\n");
        return -1;
    }
    std::memcpy(mac, request->ifr_hwaddr.sa_data, 6);
    return 0;
}
