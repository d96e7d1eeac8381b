// lcmp-device's use of the adapter beyond libpcap's portable calls, on Linux
// (packet-socket memberships, batched sends, a signal-safe wait) and on
// Windows (lcmp_device_link.cpp).
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lcmpdevice {

// Whether the capture must be promiscuous from the start: Windows cannot add
// the devices' addresses to what the adapter accepts.
bool PromiscuousCapture();

// Makes the adapter accept frames to `addresses` (the devices') and to the
// LCMP multicast address, or captures promiscuously where it cannot; false
// with a message on stderr when neither works.
bool MembershipsAdd(pcap_t *handle, const char *adapter, const std::vector<const uint8_t *> &addresses);

// Sends frames from the first, several per system call where the system
// allows; returns how many went out, 0 when the first failed (`error` then
// says why).
std::size_t FramesSend(pcap_t *handle, std::span<const std::span<const uint8_t>> frames, std::string *error);

// SIGINT and SIGTERM (Ctrl-C) set `*stop`; on Linux they are let through only
// while FramesWait waits, so a stop never falls between check and wait.
void StopSignalsInstall(volatile std::sig_atomic_t *stop);

// Hands every frame waiting in the capture to `handler`: how many, or -1
// for a capture error.
int FramesRead(pcap_t *handle, pcap_handler handler, u_char *context);

enum class Wait { Ready, Idle, Failed, Ended };
// Waits for frames to read until `wake` (none: no limit); a stop signal ends
// the wait early (Idle). Failed: `error` says why.
Wait FramesWait(pcap_t *handle, std::optional<std::chrono::steady_clock::time_point> wake, std::string *error);

}  // namespace lcmpdevice
