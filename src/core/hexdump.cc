// The verbose hex dump.
#include "core/hexdump.h"

#include <cstdint>
#include <cstdio>

#include "core/log.h"

namespace zanth {

std::vector<std::string> HexDumpLines(const void* bytes, std::size_t count) {
  std::vector<std::string> lines;
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t start = 0; start < count; start += 16) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%08lX (%08lX): ",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(data + start)),
                  static_cast<unsigned long>(start));
    std::string line = buffer;
    for (std::size_t i = 0; i < 16; ++i) {
      if (start + i < count) {
        std::snprintf(buffer, sizeof buffer, "%02X ", data[start + i]);
        line += buffer;
      } else {
        line += "   ";
      }
    }
    line += "    ";
    for (std::size_t i = 0; i < 16 && start + i < count; ++i) {
      std::uint8_t c = data[start + i];
      line += (c < 0x20 || c > 0x7E) ? '.' : static_cast<char>(c);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

void HexDump(const void* bytes, std::size_t count) {
  if (!LogVerbose()) return;
  for (const std::string& line : HexDumpLines(bytes, count)) {
    Log(nullptr, "dbhexdmp", "%s", line.c_str());
  }
}

}  // namespace zanth
