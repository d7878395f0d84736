// Window templates ("WIND" resources): the console's window description,
// decoded from its little-endian record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zanth::console {

struct WindowTemplate {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;  // content rectangle
  std::uint32_t cursor = 0;
  std::uint32_t style = 0;
  std::uint32_t ext_style = 0;
  std::uint32_t background = 0;  // 0x00FFFFFF: the system's window colour
  std::string menu_name;         // empty: no menu
  std::string class_name;
  std::string title;
};

inline constexpr std::uint32_t kSystemWindowColour = 0x00FFFFFF;
inline constexpr int kConsoleTemplateNumber = 1400;

// Decodes a template: eight 32-bit little-endian words, then the menu name,
// the class name and the title, each ending in a NUL. Returns false when the
// data ends early.
bool ParseWindowTemplate(std::string_view data, WindowTemplate* out);

}  // namespace zanth::console
