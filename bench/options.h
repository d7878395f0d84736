// Checked parsing of the benchmarks' command-line values: the whole text
// must be a number inside the given bounds.
#pragma once

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace zanth::bench {

inline bool ParseDouble(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
  *out = value;
  return true;
}

template <typename Int>
bool ParseInt(std::string_view text, std::type_identity_t<Int> low, std::type_identity_t<Int> high,
              Int* out) {
  Int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace zanth::bench
