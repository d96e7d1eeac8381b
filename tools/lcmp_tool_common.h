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
// Every number on the tools' command lines and in their files goes through
// these two: digits only, nothing around them (no blank, sign or base
// prefix; leading zeros change nothing), and a value from min to max.
std::optional<long> ParseNumber(std::string_view text, long min, long max);     // decimal
std::optional<long> ParseHexNumber(std::string_view text, long min, long max);  // hex digits, where a manual page says hex
std::optional<int> ParseOpcode(std::string_view text);  // a name, or its decimal number 352..359
// Hex digits in pairs, one ':' allowed between two bytes (not before the
// first, after the last or twice in a row); empty text is no bytes.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);
std::optional<std::vector<uint8_t>> ParseMac(std::string_view text);  // aa:bb:cc:dd:ee:ff, multicast, broadcast
std::string Hex(const uint8_t *bytes, std::size_t length);
// Creates the library's callback registry with its announcement filtered
// out: the library writes a line on standard output when it creates the
// registry, and in the tools standard output carries only what their manual
// pages show. Called first in each tool's main(), before anything is printed;
// the registry then stays for the whole run.
void RegistryCreate();
std::string Mac(const uint8_t *mac);

}  // namespace lcmptools
