// Windows: the adapter queries through the IP Helper API. The capture
// library names an adapter \Device\NPF_{GUID}; Windows names the same adapter
// {GUID} (AdapterName) and shows its users the friendly name ("Ethernet 2").
// Every form is accepted wherever an adapter is named.
#include <winsock2.h>
#include <iphlpapi.h>
#include <pcap.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "LCMP_socket.h"
#include "adapters.h"
#include "lcmp.h"
#include "platform.h"

namespace lcmp {
namespace {

constexpr char kCapturePrefix[] = "\\Device\\NPF_";

struct Adapter {
    std::string guid;      // {GUID}
    std::string friendly;  // UTF-8
    bool ethernet = false;
    bool up = false;
    uint8_t mac[kMacSize] = {};
    std::string CaptureName() const { return kCapturePrefix + guid; }
    bool Named(const char *name) const {
        return guid == name || friendly == name || CaptureName() == name;
    }
};

std::string Utf8(const wchar_t *text) {
    if (text == nullptr) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

// The adapters Windows knows; empty with the error code when it cannot say.
std::vector<Adapter> Adapters(ULONG *error = nullptr) {
    std::vector<Adapter> adapters;
    ULONG size = 16 * 1024;
    Buffer buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer = AllocateBuffer(size);
        if (!buffer) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        result = GetAdaptersAddresses(AF_UNSPEC,
                                      GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                          GAA_FLAG_SKIP_DNS_SERVER,
                                      nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.get()), &size);
    }
    if (error != nullptr) *error = result;
    if (result != NO_ERROR) return adapters;
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.get()); a != nullptr; a = a->Next) {
        Adapter adapter;
        adapter.guid = a->AdapterName != nullptr ? a->AdapterName : "";
        adapter.friendly = Utf8(a->FriendlyName);
        // Wi-Fi adapters carry Ethernet frames too, through Npcap.
        adapter.ethernet = (a->IfType == IF_TYPE_ETHERNET_CSMACD || a->IfType == IF_TYPE_IEEE80211) &&
                           a->PhysicalAddressLength == kMacSize;
        adapter.up = a->OperStatus == IfOperStatusUp;
        if (adapter.ethernet) std::memcpy(adapter.mac, a->PhysicalAddress, kMacSize);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

struct DeviceListFree {
    void operator()(pcap_if_t *list) const noexcept { pcap_freealldevs(list); }
};

void ReportOpenFailure(const char *adapterName, unsigned long code) {
    std::fprintf(stderr, "Unable to open the adapter %s, error Code : %lx\n", adapterName, code);
}

}  // namespace

std::string CaptureName(const char *adapterName) {
    for (const Adapter &adapter : Adapters())
        if (adapter.Named(adapterName)) return adapter.CaptureName();
    return adapterName;
}

// Each adapter twice, as the capture library names it and as Windows shows
// it (once when both are the same), in the capture library's order.
std::vector<std::string> AdapterNames() {
    std::vector<std::string> names;
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *found = nullptr;
    if (pcap_findalldevs(&found, error) != 0) return names;
    const std::unique_ptr<pcap_if_t, DeviceListFree> devices(found);
    const std::vector<Adapter> adapters = Adapters();
    for (const pcap_if_t *d = devices.get(); d != nullptr; d = d->next) {
        if (d->name == nullptr || (d->flags & PCAP_IF_LOOPBACK) != 0) continue;
        for (const Adapter &adapter : adapters) {
            if (!adapter.Named(d->name) || !adapter.ethernet || !adapter.up) continue;
            names.emplace_back(d->name);
            if (!adapter.friendly.empty() && adapter.friendly != d->name) names.push_back(adapter.friendly);
            break;
        }
    }
    return names;
}

bool AdapterDown(const char *name) {
    if (name == nullptr) return false;
    for (const Adapter &adapter : Adapters())
        if (adapter.Named(name)) return adapter.ethernet && !adapter.up;
    return false;
}

}  // namespace lcmp

extern "C" int32_t MacAddressGet(const char *adapterName, uint8_t *mac) {
    if (adapterName == nullptr || mac == nullptr) return -1;
    ULONG error = NO_ERROR;
    const std::vector<lcmp::Adapter> adapters = lcmp::Adapters(&error);
    if (error == ERROR_NOT_ENOUGH_MEMORY) {
        std::fprintf(stderr, "error allocating memory!\n");
        return -1;
    }
    if (error != NO_ERROR) {
        lcmp::ReportOpenFailure(adapterName, error);
        return -1;
    }
    for (const lcmp::Adapter &adapter : adapters) {
        if (!adapter.Named(adapterName)) continue;
        // Only an Ethernet adapter has an 802.3 address.
        if (!adapter.ethernet) {
            std::fprintf(stderr, "error retrieving the MAC address of the adapter!\n");
            return -1;
        }
        std::memcpy(mac, adapter.mac, lcmp::kMacSize);
        return 0;
    }
    // The code Linux reports for a name no adapter has.
    lcmp::ReportOpenFailure(adapterName, ENODEV);
    return -1;
}
