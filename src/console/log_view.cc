// The log view store.
#include "console/log_view.h"

#include <algorithm>
#include <cstring>

namespace zanth::console {

LogViewStore::LogViewStore() = default;

void LogViewStore::Append(std::string_view line) {
  // A line never holds a NUL of its own; one would end it early anyway.
  line = line.substr(0, std::min(line.find('\0'), kStoreSize - 2));
  if (line.size() + 1 > kStoreSize - write_position_) write_position_ = 1;
  std::memcpy(store_.data() + write_position_, line.data(), line.size());
  store_[write_position_ + line.size()] = '\0';
  index_[next_entry_] = write_position_;
  next_entry_ = (next_entry_ + 1) % kIndexEntries;
  write_position_ += line.size() + 1;
  stored_ = std::min(stored_ + 1, kIndexEntries);
}

std::vector<std::string_view> LogViewStore::NewestLines(std::size_t max) const {
  std::vector<std::string_view> lines;
  // Walking back from the newest line, starts fall until the walk crosses
  // the last restart at byte 1. Lines from before it survive only beyond
  // the current write position, and only back to the restart before that.
  bool crossed_restart = false;
  std::size_t later_start = kStoreSize;
  for (std::size_t age = 0; age < stored_ && lines.size() < max; ++age) {
    std::size_t start = index_[(next_entry_ + kIndexEntries - 1 - age) % kIndexEntries];
    if (start >= later_start) {
      if (crossed_restart) break;
      crossed_restart = true;
    }
    if (crossed_restart && start < write_position_) break;
    std::string_view line(store_.data() + start);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    lines.push_back(line);
    later_start = start;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

}  // namespace zanth::console
