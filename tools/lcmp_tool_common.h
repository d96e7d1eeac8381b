// Shared pieces of the operator tools: names of opcodes and record types,
// and parsing of addresses, numbers and hex strings from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lcmptools {

const char *OpcodeName(int opcode);      // "LCMP_READ_REQ", ... or "unknown"
const char *RecordTypeName(int type);    // "parameter", ... or "unknown"
std::optional<int> ParseOpcode(std::string_view text);  // a name, decimal or 0x hex; 352..359
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);  // even number of hex digits, ':' allowed between bytes
std::optional<std::vector<uint8_t>> ParseMac(std::string_view text);  // aa:bb:cc:dd:ee:ff, multicast, broadcast
std::optional<long> ParseNumber(std::string_view text, long min, long max);
std::string Hex(const uint8_t *bytes, std::size_t length);
// Creates the library's callback registry with its announcement filtered
// out: the library writes a line on standard output when it creates the
// registry, and in the tools standard output carries only what their manual
// pages show. Called first in each tool's main(), before anything is printed;
// the registry then stays for the whole run.
void RegistryCreate();
std::string Mac(const uint8_t *mac);

}  // namespace lcmptools
