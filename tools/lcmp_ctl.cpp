// lcmp-ctl: reads, writes and controls the parameters of LCMP devices on an
// adapter, and finds the devices on it.
//
//   lcmp-ctl -i ADAPTER [-t MS] [-a N] read DEST ID...
//   lcmp-ctl -i ADAPTER [-t MS] [-a N] write DEST ID=HEX...
//   lcmp-ctl -i ADAPTER [-t MS] [-a N] control DEST ID[=HEX]...
//   lcmp-ctl -i ADAPTER [-t MS] [-a N] discover [ID]
//   lcmp-ctl adapters
//
// `adapters` lists the names a session can be opened on (on Windows each
// adapter's capture name and its friendly name). Otherwise a host of the C
// interface: it opens a session with LCMPInit, switches
// the library to device mode with the timeout and attempts given, and lets
// LCMPRead, LCMPWrite or LCMPControl carry the request to the devices and
// collect their answers. Every answer entry becomes one line on stdout, the
// answering device's address first; diagnostics go to stderr. Exit status:
// 0 with answers, 1 without (no answer, no records, or no session), 2 for a
// bad command line.
#include <getopt.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "adapters.h"
#include "lcmp.h"
#include "lcmp_tool_common.h"
#include "lcmp_tool_platform.h"

namespace {

constexpr uint32_t kDefaultTimeoutMs = 500;
constexpr uint32_t kDefaultAttempts = 3;
constexpr uint32_t kMaxTimeoutMs = 3600000;  // an hour per attempt
constexpr uint32_t kMaxAttempts = 1000;
constexpr uint8_t kDiscoverId = 0x01;
constexpr std::size_t kMaxEntries = 65535;      // a value list counts its entries in 16 bits
constexpr std::size_t kMaxEntryLength = 65535;  // an entry's length is 16 bits: ID and value

const std::array<uint8_t, 6> kMulticast = {0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
const std::array<uint8_t, 6> kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

enum class Command { Read, Write, Control, Discover };

struct Request {
    Command command = Command::Read;
    int32_t kind = LCMP_DESTINATION_DEVICE;
    std::array<uint8_t, 6> device{};
    std::vector<std::vector<uint8_t>> entries;  // ID, then the value for writes and control
};

// The usage text: on stderr with status 2 after a problem, on stdout for -h.
int Usage(const char *problem, std::FILE *out = stderr) {
    if (problem != nullptr) std::fprintf(stderr, "lcmp-ctl: %s\n", problem);
    std::fprintf(out, "usage: lcmp-ctl -i ADAPTER [-t MS] [-a N] read DEST ID... | write DEST ID=HEX... |\n"
                         "                control DEST ID[=HEX]... | discover [ID]\n"
                         "       lcmp-ctl adapters\n"
                         "  DEST: aa:bb:cc:dd:ee:ff, multicast or broadcast; ID: a hex byte (05 or 0x05)\n"
                         "  -t: milliseconds to wait per attempt (default 500); -a: attempts (default 3)\n");
    return 2;
}

std::string_view WithoutHexPrefix(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    return text;
}

// A parameter ID: one or two hex digits, optionally after 0x.
bool ParseId(std::string_view text, uint8_t *id) {
    text = WithoutHexPrefix(text);
    const auto v = text.size() <= 2 ? lcmptools::ParseHexNumber(text, 0, 255) : std::nullopt;
    if (!v) return false;
    *id = static_cast<uint8_t>(*v);
    return true;
}

// A decimal count from 1 to max.
bool ParseCount(const char *text, uint32_t max, uint32_t *out) {
    const auto v = lcmptools::ParseNumber(text, 1, static_cast<long>(max));
    if (!v) return false;
    *out = static_cast<uint32_t>(*v);
    return true;
}

// ID, or ID=HEX; `needsValue` when the '=' is required. Builds the entry:
// the ID byte, then the value bytes.
const char *ParseEntry(std::string_view text, bool needsValue, std::vector<uint8_t> *entry) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos && needsValue) return "a write is ID=HEX, for example 03=0A0B";
    uint8_t id = 0;
    if (!ParseId(text.substr(0, equals), &id)) return "an ID is a hex byte, for example 05 or 0x05";
    entry->assign(1, id);
    if (equals == std::string_view::npos) return nullptr;
    const auto value = lcmptools::ParseHex(WithoutHexPrefix(text.substr(equals + 1)));
    if (!value) return "a value is hex digits in pairs, ':' allowed between bytes, for example 0A0B or 0A:0B";
    if (value->size() + 1 > kMaxEntryLength) return "a value has at most 65534 bytes";
    entry->insert(entry->end(), value->begin(), value->end());
    return nullptr;
}

// DEST: a device's address, or one of the two group destinations, by name or
// by address. Other group addresses reach no device that would answer.
const char *ParseDestination(std::string_view text, Request *request) {
    const auto mac = lcmptools::ParseMac(text);
    if (!mac) return "DEST is aa:bb:cc:dd:ee:ff, multicast or broadcast";
    if (std::equal(mac->begin(), mac->end(), kMulticast.begin())) {
        request->kind = LCMP_DESTINATION_MULTICAST;
    } else if (std::equal(mac->begin(), mac->end(), kBroadcast.begin())) {
        request->kind = LCMP_DESTINATION_BROADCAST;
    } else if (((*mac)[0] & 0x01) != 0) {
        return "DEST is a device's address (not a group address), multicast or broadcast";
    } else {
        request->kind = LCMP_DESTINATION_DEVICE;
        std::copy(mac->begin(), mac->end(), request->device.begin());
    }
    return nullptr;
}

// The command and its operands, from argv[first] on; nullptr or the problem.
const char *ParseCommand(int argc, char **argv, int first, Request *request) {
    if (first >= argc) return "a command is required";
    const std::string_view name = argv[first];
    if (name == "discover") {
        request->command = Command::Discover;
        request->kind = LCMP_DESTINATION_MULTICAST;
        if (argc - first > 2) return "discover takes at most one ID";
        uint8_t id = kDiscoverId;
        if (argc - first == 2 && !ParseId(argv[first + 1], &id)) return "an ID is a hex byte, for example 05 or 0x05";
        request->entries.push_back({id});
        return nullptr;
    }
    if (name == "read") request->command = Command::Read;
    else if (name == "write") request->command = Command::Write;
    else if (name == "control") request->command = Command::Control;
    else return "unknown command (read, write, control or discover)";
    if (argc - first < 3) return "DEST and at least one ID are required";
    if (const char *problem = ParseDestination(argv[first + 1], request)) return problem;
    if (static_cast<std::size_t>(argc - first - 2) > kMaxEntries) return "at most 65535 entries in one request";
    for (int i = first + 2; i < argc; ++i) {
        std::vector<uint8_t> entry;
        if (request->command == Command::Read) {
            uint8_t id = 0;
            if (!ParseId(argv[i], &id)) return "an ID is a hex byte, for example 05 or 0x05";
            entry.push_back(id);
        } else if (const char *problem = ParseEntry(argv[i], request->command == Command::Write, &entry)) {
            return problem;
        }
        request->entries.push_back(std::move(entry));
    }
    return nullptr;
}

// Value-list owner: the list at `list` is destroyed with the holder.
struct OwnedList {
    LCMPValueList *list = nullptr;
    OwnedList() = default;
    OwnedList(const OwnedList &) = delete;
    OwnedList &operator=(const OwnedList &) = delete;
    ~OwnedList() { LCMPValueListDestroy(list); }
};

// The open session; closed, and the library back in local mode, on every path.
struct Session {
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() {
        LCMPEnd();
        LCMPRequestModeSet(LCMP_REQUESTS_LOCAL, kDefaultTimeoutMs, kDefaultAttempts);
    }
};

std::string HexRun(const uint8_t *bytes, std::size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string HexBytes(const uint8_t *bytes, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) out += ' ';
        out += HexRun(bytes + i, 1);
    }
    return out;
}

struct Line {
    std::array<uint8_t, 6> device;
    std::string text;  // what follows the address
};

// One line per answer entry of the record type the command's confirmation
// carries; anything else is noted on stderr and left out.
std::vector<Line> Lines(const Request &request, const LCMPValueList *answers) {
    std::vector<Line> lines;
    if (answers == nullptr) return lines;
    const int32_t expected = request.command == Command::Write     ? LCMP_RECORD_WRITE_CONFIRM
                             : request.command == Command::Control ? LCMP_RECORD_CONTROL_CONFIRM
                                                                   : LCMP_RECORD_PARAMETER;
    for (const LCMPValue *v = answers->first; v != nullptr; v = v->next) {
        Line line{};
        std::copy(v->sourceMac, v->sourceMac + 6, line.device.begin());
        if (v->type != expected || v->length == 0) {
            std::fprintf(stderr, "lcmp-ctl: %s: a record of type %d and %u bytes left out\n",
                         lcmptools::Mac(v->sourceMac).c_str(), static_cast<int>(v->type), v->length);
            continue;
        }
        switch (request.command) {
            case Command::Read:  // ID, then the value
                line.text = HexRun(v->value, 1) + " " + (v->length > 1 ? HexRun(v->value + 1, v->length - 1u) : "-");
                break;
            case Command::Discover:  // only the value: the ID is the one asked for
                line.text = v->length > 1 ? HexRun(v->value + 1, v->length - 1u) : "-";
                break;
            case Command::Write:    // count, then the IDs written
            case Command::Control:  // a leading byte, then the items controlled
                line.text = HexBytes(v->value + 1, v->length - 1u);
                break;
        }
        lines.push_back(std::move(line));
    }
    // Group answers arrive in no set order: print them by device address,
    // each device's entries in request order. Discovery shows each device once.
    if (request.kind != LCMP_DESTINATION_DEVICE)
        std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) { return a.device < b.device; });
    if (request.command == Command::Discover)
        lines.erase(std::unique(lines.begin(), lines.end(),
                                [](const Line &a, const Line &b) { return a.device == b.device; }),
                    lines.end());
    return lines;
}

const char *Verb(Command command) {
    switch (command) {
        case Command::Write: return "write";
        case Command::Control: return "control";
        case Command::Discover: return "discover";
        case Command::Read: break;
    }
    return "read";
}

std::string Target(const Request &request) {
    if (request.kind == LCMP_DESTINATION_MULTICAST) return "multicast";
    if (request.kind == LCMP_DESTINATION_BROADCAST) return "broadcast";
    return lcmptools::Mac(request.device.data());
}

}  // namespace

int main(int argc, char **argv) {
    lcmptools::RegistryCreate();
    const char *adapter = nullptr;
    uint32_t timeoutMs = kDefaultTimeoutMs, attempts = kDefaultAttempts;
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "i:t:a:h", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'i': adapter = optarg; break;
            case 't':
                if (!ParseCount(optarg, kMaxTimeoutMs, &timeoutMs)) return Usage("-t takes milliseconds, 1 to 3600000");
                break;
            case 'a':
                if (!ParseCount(optarg, kMaxAttempts, &attempts)) return Usage("-a takes a number of attempts, 1 to 1000");
                break;
            case 'h': Usage(nullptr, stdout); return 0;
            default: return Usage(nullptr);
        }
    }
    if (optind + 1 == argc && std::string_view(argv[optind]) == "adapters" && adapter == nullptr) {
        const std::vector<std::string> names = lcmp::AdapterNames();
        for (const std::string &name : names) std::printf("%s\n", name.c_str());
        return names.empty() ? 1 : 0;
    }
    Request request;
    if (const char *problem = ParseCommand(argc, argv, optind, &request)) return Usage(problem);
    if (adapter == nullptr) return Usage("-i ADAPTER is required");

    if (!lcmptools::AdapterExists(adapter)) {
        std::fprintf(stderr, "lcmp-ctl: no adapter named %s\n", adapter);
        return 1;
    }
    if (LCMPInit(adapter) != 0) {
        std::fprintf(stderr, "lcmp-ctl: cannot open %s%s\n", adapter,
                     !lcmptools::Privileged() ? " (needs root, or the capabilities cap_net_raw,cap_net_admin)" : "");
        return 1;
    }
    Session session;
    if (const int32_t rc = LCMPRequestModeSet(LCMP_REQUESTS_DEVICE, timeoutMs, attempts); rc != 0) {
        std::fprintf(stderr, "lcmp-ctl: the library refused device mode (%d)\n", static_cast<int>(rc));
        return 1;
    }

    // The record type of each request entry is the one its operation sends.
    const int32_t type = request.command == Command::Write     ? LCMP_RECORD_PARAMETER
                         : request.command == Command::Control ? LCMP_RECORD_CONTROL_PARAMETER
                                                               : LCMP_RECORD_READ_PARAMETER;
    OwnedList entries, answers;
    for (const auto &entry : request.entries) {
        if (LCMPFullValueAdd(&entries.list, nullptr, type, static_cast<uint16_t>(entry.size()), entry.data()) != 0) {
            std::fprintf(stderr, "lcmp-ctl: out of memory\n");
            return 1;
        }
    }
    const uint8_t *device = request.kind == LCMP_DESTINATION_DEVICE ? request.device.data() : nullptr;
    int32_t rc;
    switch (request.command) {
        case Command::Write: rc = LCMPWrite(entries.list, request.kind, device, &answers.list); break;
        case Command::Control: rc = LCMPControl(entries.list, request.kind, device, &answers.list); break;
        default: rc = LCMPRead(entries.list, request.kind, device, &answers.list); break;
    }

    const std::vector<Line> lines = Lines(request, answers.list);
    for (const Line &line : lines)
        std::printf("%s%s%s\n", lcmptools::Mac(line.device.data()).c_str(), line.text.empty() ? "" : " ",
                    line.text.c_str());
    std::fflush(stdout);
    if (rc == LCMP_ERROR_TIMEOUT) {
        std::fprintf(stderr, "lcmp-ctl: %s: no answer from %s (%u attempt%s of %u ms)\n", Verb(request.command),
                     request.kind == LCMP_DESTINATION_DEVICE ? Target(request).c_str() : "any device", attempts,
                     attempts == 1 ? "" : "s", timeoutMs);
        return 1;
    }
    if (rc != 0) {
        // Entries already appended (a group answer merged before a failure)
        // are printed above; the status still reports the failure.
        std::fprintf(stderr, "lcmp-ctl: %s to %s failed (%d)\n", Verb(request.command), Target(request).c_str(),
                     static_cast<int>(rc));
        return 1;
    }
    if (lines.empty()) {
        std::fprintf(stderr, "lcmp-ctl: %s: the answers from %s carried no records%s\n", Verb(request.command),
                     Target(request).c_str(),
                     request.command == Command::Read || request.command == Command::Discover
                         ? " (no device has the parameters asked for)"
                         : "");
        return 1;
    }
    return 0;
}
