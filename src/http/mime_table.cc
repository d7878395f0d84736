// The MIME table.
#include "http/mime_table.h"

namespace zanth::http {
namespace {
constexpr std::size_t kLineLimit = 127;
constexpr std::size_t kWordLimit = 39;
}  // namespace

void MimeTable::Load(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, std::min(end - pos, kLineLimit));
    if (line.empty()) return;
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
      std::size_t start = line.find_first_not_of(" \t", at);
      if (start == std::string_view::npos) break;
      std::size_t stop = line.find_first_of(" \t", start);
      if (stop == std::string_view::npos) stop = line.size();
      words.emplace_back(line.substr(start, std::min(stop - start, kWordLimit)));
      at = stop;
    }
    if (words.size() < 2) return;
    for (std::size_t i = 1; i < words.size(); ++i) types_.emplace(words[i], words[0]);
    pos = text.find_first_not_of("\r\n", end);
    if (pos == std::string_view::npos) return;
  }
}

const std::string& MimeTable::TypeOf(const std::string& extension) const {
  static const std::string kAny = "*/*";
  auto it = types_.find(extension);
  return it == types_.end() ? kAny : it->second;
}

}  // namespace zanth::http
