// What differs between the systems the transport runs on, behind one seam:
// whether the packet-capture library can be used, and how a name a user
// gives maps to the name the capture library knows the adapter by. Linux:
// platform_posix.cpp; Windows: windows/.
#pragma once

#include <string>

namespace lcmp {

// Null when the packet-capture library is there to use (Windows loads it on
// the first call); otherwise the line that tells the user what to install.
const char *CaptureLibraryMissing() noexcept;

// The capture library's name of the adapter a user named: on Windows the
// adapter's friendly name ("Ethernet 2") and its {GUID} are accepted beside
// the capture name \Device\NPF_{GUID}. A name no adapter has as another name
// comes back unchanged.
std::string CaptureName(const char *adapterName);

}  // namespace lcmp
