// Window template decoding.
#include "console/window_template.h"

namespace zanth::console {
namespace {

constexpr std::size_t kWordsSize = 32;

std::uint32_t Word(std::string_view data, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(data[offset + i]);
  }
  return value;
}

// Takes the NUL-terminated text at *offset and moves past its NUL.
bool Text(std::string_view data, std::size_t* offset, std::string* out) {
  std::size_t end = data.find('\0', *offset);
  if (end == std::string_view::npos) return false;
  *out = std::string(data.substr(*offset, end - *offset));
  *offset = end + 1;
  return true;
}

}  // namespace

bool ParseWindowTemplate(std::string_view data, WindowTemplate* out) {
  if (data.size() < kWordsSize) return false;
  WindowTemplate t;
  t.left = static_cast<std::int32_t>(Word(data, 0));
  t.top = static_cast<std::int32_t>(Word(data, 4));
  t.right = static_cast<std::int32_t>(Word(data, 8));
  t.bottom = static_cast<std::int32_t>(Word(data, 12));
  t.cursor = Word(data, 16);
  t.style = Word(data, 20);
  t.ext_style = Word(data, 24);
  t.background = Word(data, 28);
  std::size_t offset = kWordsSize;
  if (!Text(data, &offset, &t.menu_name) || !Text(data, &offset, &t.class_name) ||
      !Text(data, &offset, &t.title)) {
    return false;
  }
  *out = std::move(t);
  return true;
}

}  // namespace zanth::console
