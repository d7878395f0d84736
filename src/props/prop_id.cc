// Text forms of prop identifiers.
#include "props/prop_id.h"

#include <cstdio>

#include "core/log.h"

namespace zanth::props {

std::string PropIdText(const PropId& id) {
  std::string text = "#";
  for (int w = 0; w < 5; ++w) {
    const std::uint8_t* p = id.data() + 4 * w;
    std::uint32_t word = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                         (static_cast<std::uint32_t>(p[2]) << 16) |
                         (static_cast<std::uint32_t>(p[3]) << 24);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08lX", static_cast<unsigned long>(ScrambleWord(word)));
    text += buffer;
  }
  return text;
}

bool ParsePropIdText(std::string_view text, PropId* id) {
  bool scrambled = !text.empty() && text[0] == '#';
  if (scrambled) text.remove_prefix(1);
  if (text.size() < 40) return false;
  for (int w = 0; w < 5; ++w) {
    std::uint32_t word = 0;
    for (int d = 0; d < 8; ++d) {
      char c = text[static_cast<std::size_t>(8 * w + d)];
      int v = (c >= '0' && c <= '9') ? c - '0'
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                       : -1;
      if (v < 0) return false;
      word = (word << 4) | static_cast<std::uint32_t>(v);
    }
    // Unscrambling undoes the key, then the bit swap.
    if (scrambled) word = SwapBitPairs(word ^ 0x3C9D27B1u);
    for (int b = 0; b < 4; ++b) (*id)[static_cast<std::size_t>(4 * w + b)] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  return true;
}

}  // namespace zanth::props
