// The verbose hex dump used by the transport and the parser.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zanth {

// The lines of a dump of count bytes: per run of 16 bytes the address and
// offset, 16 hex columns (blank past the end), four spaces and the bytes as
// characters ("." outside 0x20..0x7E).
std::vector<std::string> HexDumpLines(const void* bytes, std::size_t count);

// Logs HexDumpLines under "dbhexdmp" while verbose logging is on.
void HexDump(const void* bytes, std::size_t count);

}  // namespace zanth
