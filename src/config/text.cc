// Text helpers for the configuration file.
#include "config/text.h"

#include <cstdint>

namespace zanth::config {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at text[pos] whose character XML
// allows, or 0.
std::size_t ValidSequence(std::string_view text, std::size_t pos) {
  auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[pos + i]);
  };
  unsigned char lead = byte(0);
  std::size_t length;
  std::uint32_t code;
  std::uint32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  // Overlong forms, surrogates, values past Unicode and the two
  // non-characters XML excludes.
  if (code < minimum || code > 0x10FFFF) return 0;
  if (code >= 0xD800 && code <= 0xDFFF) return 0;
  if (code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

}  // namespace

std::string CutText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // A UTF-8 character is at most four bytes, so at most three continuation
  // bytes need to go; anything longer is not UTF-8 and is cut where it is.
  for (int step = 0; step < 3 && cut > 0; ++step) {
    if (!IsContinuation(static_cast<unsigned char>(text[cut]))) break;
    --cut;
  }
  if (IsContinuation(static_cast<unsigned char>(text[cut]))) cut = limit;
  return std::string(text.substr(0, cut));
}

std::string WithTrailingSlash(std::string_view text, std::size_t limit) {
  if (text.empty() || limit == 0) return std::string();
  std::string value = CutText(text, limit);
  if (!value.empty() && value.back() != '/') {
    if (value.size() >= limit) value = CutText(value, limit - 1);
    value += '/';
  }
  return value;
}

std::string XmlSafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      if (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r') {
        safe += static_cast<char>(byte);
      }
      ++pos;
      continue;
    }
    std::size_t length = ValidSequence(text, pos);
    if (length > 0) {
      safe.append(text.substr(pos, length));
      pos += length;
      continue;
    }
    safe += static_cast<char>(0xC0 | (byte >> 6));
    safe += static_cast<char>(0x80 | (byte & 0x3F));
    ++pos;
  }
  return safe;
}

}  // namespace zanth::config
