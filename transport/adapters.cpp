// The adapters an LCMP session can be opened on: libpcap's capture devices
// whose link is Ethernet. The hardware type comes from the interface ioctl,
// which answers only for network interfaces of this namespace, so libpcap's
// pseudo-devices and monitors drop out by the same test.
#include "adapters.h"
#include "descriptor.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace lcmp {
namespace {

struct DeviceListFree {
    void operator()(pcap_if_t *list) const noexcept { pcap_freealldevs(list); }
};

bool HasEthernetLink(int socket, const char *name) {
    const std::size_t length = strnlen(name, IFNAMSIZ);
    if (socket < 0 || length >= IFNAMSIZ) return false;
    ifreq request{};
    std::memcpy(request.ifr_name, name, length);
    return ::ioctl(socket, SIOCGIFHWADDR, &request) == 0 && request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
}

}  // namespace

std::vector<std::string> AdapterNames() {
    std::vector<std::string> names;
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *found = nullptr;
    if (pcap_findalldevs(&found, error) != 0) return names;
    const std::unique_ptr<pcap_if_t, DeviceListFree> devices(found);
    const Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (const pcap_if_t *d = devices.get(); d != nullptr; d = d->next) {
        if (d->name == nullptr || (d->flags & PCAP_IF_LOOPBACK) != 0) continue;
        if (HasEthernetLink(socket.get(), d->name)) names.emplace_back(d->name);
    }
    return names;
}

}  // namespace lcmp
