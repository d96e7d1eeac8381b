// What the operator tools do differently on Linux and on Windows, in one
// place (lcmp_tool_platform.cpp).
#pragma once

#include <ctime>

namespace lcmptools {

// Whether an adapter of that name exists: on Windows the capture name
// \Device\NPF_{GUID}, the {GUID} and the friendly name ("Ethernet 2") all
// count.
bool AdapterExists(const char *name);
// Whether capturing needs no further rights: root on Linux (without it, the
// tools name the capabilities it takes); on Windows Npcap decides.
bool Privileged();
// `seconds` as UTC calendar time.
std::tm UtcTime(std::time_t seconds);
// Points standard output's descriptor at the null device; returns what
// StdoutRestore takes to point it back, or -1 when it could not.
int StdoutToNull();
void StdoutRestore(int saved);
// SIGINT and SIGTERM call `handler`. On Linux a wait they interrupt returns
// rather than being restarted.
void OnInterrupt(void (*handler)(int));

}  // namespace lcmptools
