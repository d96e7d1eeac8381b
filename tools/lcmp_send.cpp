// lcmp-send: builds one LCMP message and sends it on an adapter.
//
//   lcmp-send -i ADAPTER -d DEST -o OPCODE [-f FLAG] TYPE:HEX...
//
// DEST is a MAC address, "multicast" or "broadcast"; OPCODE a name such as
// LCMP_READ_REQ or a number from 352 to 359. Each record is TYPE:HEX, for
// example 2:05 (a read-parameter request for parameter 5). The message gets
// the header of the opcode's shape: requests carry the adapter's own address,
// notifications the flag byte (-f, default 0). Lengths are written least
// significant byte first, as receivers read them.

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lcmp.h"
#include "lcmp_tool_common.h"
#include "lcmp_tool_platform.h"

namespace {

constexpr std::size_t kMaxPayload = 1492;

int Usage(const char *problem) {
    if (problem != nullptr) std::fprintf(stderr, "lcmp-send: %s\n", problem);
    std::fprintf(stderr, "usage: lcmp-send -i ADAPTER -d DEST -o OPCODE [-f FLAG] TYPE:HEX...\n"
                         "  DEST: aa:bb:cc:dd:ee:ff, multicast or broadcast\n"
                         "  OPCODE: LCMP_READ_REQ ... LCMP_NOTIFY_RSP, or 352..359\n"
                         "  TYPE:HEX: record type 0..255 and its value bytes, e.g. 2:05\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    lcmptools::RegistryCreate();
    const char *adapter = nullptr;
    std::vector<uint8_t> destination;
    int opcode = -1;
    long flag = 0;
    int opt;
    while ((opt = getopt(argc, argv, "i:d:o:f:h")) != -1) {
        switch (opt) {
            case 'i': adapter = optarg; break;
            case 'd': {
                auto mac = lcmptools::ParseMac(optarg);
                if (!mac) return Usage("bad destination address");
                destination = *mac;
                break;
            }
            case 'o': {
                auto op = lcmptools::ParseOpcode(optarg);
                if (!op) return Usage("bad opcode (a name, or 352..359)");
                opcode = *op;
                break;
            }
            case 'f': {
                auto f = lcmptools::ParseNumber(optarg, 0, 255);
                if (!f) return Usage("bad flag (0..255)");
                flag = *f;
                break;
            }
            case 'h': Usage(nullptr); return 0;
            default: return Usage(nullptr);
        }
    }
    if (adapter == nullptr || destination.empty() || opcode < 0) return Usage("-i, -d and -o are required");

    std::vector<uint8_t> records;
    for (int i = optind; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto colon = arg.find(':');
        if (colon == std::string::npos) return Usage("a record is TYPE:HEX");
        auto type = lcmptools::ParseNumber(std::string_view(arg).substr(0, colon), 0, 255);
        auto value = lcmptools::ParseHex(std::string_view(arg).substr(colon + 1));
        if (!type || !value) return Usage("a record is TYPE:HEX, with a type from 0 to 255 and hex digits in pairs");
        if (value->size() > kMaxPayload) return Usage("record too long");
        records.push_back(static_cast<uint8_t>(*type));
        records.push_back(static_cast<uint8_t>(value->size() & 0xFF));
        records.push_back(static_cast<uint8_t>(value->size() >> 8));
        records.insert(records.end(), value->begin(), value->end());
    }

    if (!lcmptools::AdapterExists(adapter)) {
        std::fprintf(stderr, "lcmp-send: no adapter named %s\n", adapter);
        return 1;
    }
    std::vector<uint8_t> payload = {0x05};
    if (opcode == LCMP_READ_REQ || opcode == LCMP_WRITE_REQ || opcode == LCMP_CONTROL_REQ) {
        uint8_t own[6] = {};
        if (MacAddressGet(adapter, own) != 0) return 1;
        payload.insert(payload.end(), own, own + 6);
    }
    payload.push_back(static_cast<uint8_t>(records.size() & 0xFF));
    payload.push_back(static_cast<uint8_t>(records.size() >> 8));
    if (opcode == LCMP_NOTIFY_IND) payload.push_back(static_cast<uint8_t>(flag));
    payload.insert(payload.end(), records.begin(), records.end());
    if (payload.size() > kMaxPayload) {
        std::fprintf(stderr, "lcmp-send: the message has %zu bytes; one frame carries at most %zu\n", payload.size(),
                     kMaxPayload);
        return 2;
    }

    if (LCMPInit(adapter) != 0) {
        std::fprintf(stderr, "lcmp-send: cannot open %s for sending%s\n", adapter,
                     !lcmptools::Privileged() ? " (needs root, or cap_net_raw,cap_net_admin)" : "");
        return 1;
    }
    uint16_t sequence = 0;
    const int32_t rc = LCMPPacketSend(destination.data(), opcode, static_cast<uint16_t>(payload.size()),
                                      payload.data(), &sequence);
    LCMPEnd();
    if (rc != 0) {
        std::fprintf(stderr, "lcmp-send: sending failed (%d)\n", static_cast<int>(rc));
        return 1;
    }
    std::printf("sent %s (%d) to %s: frame of %zu bytes, sequence number %u\n", lcmptools::OpcodeName(opcode), opcode,
                lcmptools::Mac(destination.data()).c_str(), payload.size() + 22, sequence);
    return 0;
}
