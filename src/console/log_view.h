// The console's log view store: the newest log lines in a fixed text store
// with an index of line starts, as the log's display sink fills it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace zanth::console {

class LogViewStore {
 public:
  static constexpr std::size_t kStoreSize = 32000;
  static constexpr std::size_t kIndexEntries = 500;

  LogViewStore();

  // Stores one log line (its final line feed included, as the log hands it
  // over) with a terminating NUL. When the line does not fit between the
  // write position and the end of the store, writing restarts at byte 1;
  // byte 0 stays an empty line. The line's start takes the next index entry,
  // wrapping from the last entry to the first.
  void Append(std::string_view line);

  // Up to max of the newest lines that the store still holds intact, oldest
  // first, each without its final line feed. A line is gone once the index
  // entry was reused or its bytes were written over after a restart.
  std::vector<std::string_view> NewestLines(std::size_t max) const;

  std::size_t write_position() const { return write_position_; }
  std::size_t next_entry() const { return next_entry_; }

 private:
  std::array<char, kStoreSize> store_{};
  std::size_t write_position_ = 1;
  std::array<std::size_t, kIndexEntries> index_{};
  std::size_t next_entry_ = 0;
  std::size_t stored_ = 0;  // lines appended, up to kIndexEntries
};

}  // namespace zanth::console
