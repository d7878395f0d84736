// Text helpers for the stored files.
#include "config/text.h"

#include <cstdint>

namespace zanth::config {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The well-formed UTF-8 sequence at text[pos]: its length, with its
// character in *code, or 0 when there is none (ASCII, a stray byte, an
// overlong form, a surrogate or a value past Unicode).
std::size_t Utf8Sequence(std::string_view text, std::size_t pos, std::uint32_t* code) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  unsigned char lead = byte(0);
  std::size_t length;
  std::uint32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    *code = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    *code = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    *code = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
    *code = (*code << 6) | (byte(i) & 0x3Fu);
  }
  if (*code < minimum || *code > 0x10FFFF) return 0;
  if (*code >= 0xD800 && *code <= 0xDFFF) return 0;
  return length;
}

// The length of the sequence at text[pos] when it is well-formed and its
// character one that XML allows (not U+FFFE or U+FFFF), else 0.
std::size_t XmlSequence(std::string_view text, std::size_t pos, std::uint32_t* code) {
  std::size_t length = Utf8Sequence(text, pos, code);
  if (*code == 0xFFFE || *code == 0xFFFF) return 0;
  return length;
}

bool IsXmlControl(unsigned char byte) {
  return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
}

void AppendLatin1(unsigned char byte, std::string* out) {
  *out += static_cast<char>(0xC0 | (byte >> 6));
  *out += static_cast<char>(0x80 | (byte & 0x3F));
}

// Both writers: controls dropped, then ASCII as it is, a sequence that
// keep() accepts as it is, any other byte as its Latin-1 character. The
// controls go first: the bytes around one can form a sequence once it is
// gone, and the file must read back to text that is written the same way.
template <typename Keep>
std::string ToXml(std::string_view raw, Keep keep) {
  std::string text;
  text.reserve(raw.size());
  for (char c : raw) {
    if (!IsXmlControl(static_cast<unsigned char>(c))) text += c;
  }
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    std::uint32_t code = 0;
    std::size_t length = XmlSequence(text, pos, &code);
    if (length > 0 && keep(code)) {
      out.append(text, pos, length);
      pos += length;
      continue;
    }
    AppendLatin1(byte, &out);
    ++pos;
  }
  return out;
}

}  // namespace

std::string CutText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  // A UTF-8 character is at most four bytes: its start, if the cut splits
  // it, is one of the three bytes before the cut.
  for (std::size_t back = 1; back <= 3 && back <= limit; ++back) {
    std::size_t start = limit - back;
    if (IsContinuation(static_cast<unsigned char>(text[start]))) continue;
    std::uint32_t code = 0;
    if (Utf8Sequence(text, start, &code) > back) return std::string(text.substr(0, start));
    break;
  }
  return std::string(text.substr(0, limit));
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
  return ToXml(text, [](std::uint32_t) { return true; });
}

std::string XmlFromWire(std::string_view text) {
  // A character up to U+00FF written as UTF-8 stands for the bytes of that
  // form, each its own Latin-1 character: reading it back as one byte would
  // lose one of them.
  return ToXml(text, [](std::uint32_t code) { return code > 0xFF; });
}

std::string WireFromXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto byte = static_cast<unsigned char>(text[pos]);
    std::uint32_t code = 0;
    std::size_t length = byte < 0x80 ? 0 : Utf8Sequence(text, pos, &code);
    if (length == 0) {
      out += static_cast<char>(byte);
      ++pos;
    } else if (code <= 0xFF) {
      out += static_cast<char>(code);
      pos += length;
    } else {
      out.append(text.substr(pos, length));
      pos += length;
    }
  }
  return out;
}

}  // namespace zanth::config
