// Linux: libpcap is linked, and adapters have one name, the interface's.
#include "platform.h"

namespace lcmp {

const char *CaptureLibraryMissing() noexcept { return nullptr; }

std::string CaptureName(const char *adapterName) { return adapterName; }

}  // namespace lcmp
