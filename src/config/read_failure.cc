// The one-line account of a stored file that could not be read.
#include "config/read_failure.h"

namespace zanth::config {

void ReadFailure::SetPlace(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  column = static_cast<int>(offset - line_start) + 1;
}

std::string ReadFailure::Text() const {
  std::string text = path + ": ";
  if (line > 0) {
    text += "line " + std::to_string(line);
    if (column > 0) text += ", column " + std::to_string(column);
    text += ": ";
  }
  // Parser messages can run over several lines; the account is one.
  for (char c : message) text += c == '\n' || c == '\r' ? ' ' : c;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  text += "; fix the file, or move it away to start a new site";
  return text;
}

}  // namespace zanth::config
