#include "lcmp_tool_common.h"

#include <cstdio>

#include "lcmp.h"
#include "lcmp_tool_platform.h"

namespace lcmptools {

namespace {
struct Named {
    int value;
    const char *name;
};
constexpr Named kOpcodes[] = {{LCMP_READ_REQ, "LCMP_READ_REQ"},     {LCMP_READ_CNF, "LCMP_READ_CNF"},
                              {LCMP_WRITE_REQ, "LCMP_WRITE_REQ"},   {LCMP_WRITE_CNF, "LCMP_WRITE_CNF"},
                              {LCMP_CONTROL_REQ, "LCMP_CONTROL_REQ"}, {LCMP_CONTROL_CNF, "LCMP_CONTROL_CNF"},
                              {LCMP_NOTIFY_IND, "LCMP_NOTIFY_IND"}, {LCMP_NOTIFY_RSP, "LCMP_NOTIFY_RSP"}};
constexpr Named kRecordTypes[] = {{0, "parameter"},         {1, "write confirmation"}, {2, "read-parameter request"},
                                  {3, "control parameter"}, {5, "control confirmation"}, {6, "notify record"},
                                  {8, "notify confirmation"}};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

const char *OpcodeName(int opcode) {
    for (const auto &n : kOpcodes)
        if (n.value == opcode) return n.name;
    return "unknown";
}

const char *RecordTypeName(int type) {
    for (const auto &n : kRecordTypes)
        if (n.value == type) return n.name;
    return "unknown";
}

namespace {
std::optional<long> ParseDigits(std::string_view text, int base, long min, long max) {
    if (text.empty() || min < 0 || max < min) return std::nullopt;
    unsigned long long v = 0;
    for (const char c : text) {
        const int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return std::nullopt;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (v > static_cast<unsigned long long>(max)) return std::nullopt;  // also keeps v from overflowing
    }
    if (v < static_cast<unsigned long long>(min)) return std::nullopt;
    return static_cast<long>(v);
}
}  // namespace

std::optional<long> ParseNumber(std::string_view text, long min, long max) { return ParseDigits(text, 10, min, max); }

std::optional<long> ParseHexNumber(std::string_view text, long min, long max) {
    return ParseDigits(text, 16, min, max);
}

std::optional<int> ParseOpcode(std::string_view text) {
    for (const auto &n : kOpcodes)
        if (text == n.name) return n.value;
    if (auto v = ParseNumber(text, LCMP_READ_REQ, LCMP_NOTIFY_RSP)) return static_cast<int>(*v);
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
    std::vector<uint8_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        // A colon separates two bytes: it needs one before it and one after.
        if (text[i] == ':') {
            if (out.empty() || text[i - 1] == ':' || i + 1 == text.size()) return std::nullopt;
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) return std::nullopt;
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<std::vector<uint8_t>> ParseMac(std::string_view text) {
    if (text == "multicast") return std::vector<uint8_t>{0x01, 0x19, 0xA7, 0x52, 0x76, 0x96};
    if (text == "broadcast") return std::vector<uint8_t>(6, 0xFF);
    if (text.size() != 17) return std::nullopt;
    for (std::size_t i = 2; i < 17; i += 3)
        if (text[i] != ':') return std::nullopt;
    auto bytes = ParseHex(text);
    if (!bytes || bytes->size() != 6) return std::nullopt;
    return bytes;
}

std::string Hex(const uint8_t *bytes, std::size_t length) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += b;
    }
    return out;
}

std::string Mac(const uint8_t *mac) {
    char b[18];
    std::snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return b;
}

void RegistryCreate() {
    const int saved = StdoutToNull();
    CallbackEntry *entry = LCMPCallBackInstall([](const uint8_t *, const uint8_t *, int, CallbackData *) { return 0; },
                                               LCMP_READ_REQ, nullptr);
    StdoutRestore(saved);
    if (entry != nullptr) LCMPCallBackUninstall(entry);  // the registry stays, empty
}

}  // namespace lcmptools
