// The adapters an LCMP session can be opened on, for hosts that offer a
// choice (the Java session class lists them).
#pragma once

#include <string>
#include <vector>

namespace lcmp {

// Names of the capture devices libpcap finds in this network namespace that
// carry an Ethernet link and are up, in libpcap's order: adapters that are
// down (no capture can be opened on them), loopback, the "any"
// pseudo-device and the monitors that are no network interface (nflog,
// nfqueue, usbmon, bluetooth, dbus...) are left out. Empty when libpcap
// finds none or fails. Needs no privileges.
std::vector<std::string> AdapterNames();

// Whether `name` is an adapter with an Ethernet link that is down.
bool AdapterDown(const char *name);

}  // namespace lcmp
