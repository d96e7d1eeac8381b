// The adapters an LCMP session can be opened on: libpcap's capture devices
// whose link is Ethernet and that are up. The hardware type comes from the interface ioctl,
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
#include <utility>

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

namespace {

// The adapters with an Ethernet link, each with whether it is up.
std::vector<std::pair<std::string, bool>> EthernetAdapters() {
    std::vector<std::pair<std::string, bool>> adapters;
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *found = nullptr;
    if (pcap_findalldevs(&found, error) != 0) return adapters;
    const std::unique_ptr<pcap_if_t, DeviceListFree> devices(found);
    const Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (const pcap_if_t *d = devices.get(); d != nullptr; d = d->next) {
        if (d->name == nullptr || (d->flags & PCAP_IF_LOOPBACK) != 0) continue;
        if (HasEthernetLink(socket.get(), d->name)) adapters.emplace_back(d->name, (d->flags & PCAP_IF_UP) != 0);
    }
    return adapters;
}

}  // namespace

std::vector<std::string> AdapterNames() {
    std::vector<std::string> names;
    for (auto &[name, up] : EthernetAdapters())
        if (up) names.push_back(std::move(name));
    return names;
}

bool AdapterDown(const char *name) {
    if (name == nullptr) return false;
    for (const auto &[adapter, up] : EthernetAdapters())
        if (adapter == name) return !up;
    return false;
}

}  // namespace lcmp
