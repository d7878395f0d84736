// Why a stored file could not be read, in the one line that start-up
// prints and logs before it stops rather than write over the file.
#pragma once

#include <string>
#include <string_view>

namespace zanth::config {

struct ReadFailure {
  std::string path;
  int line = 0;    // from 1; 0 when no place in the file applies
  int column = 0;  // from 1; 0 when only the line is known
  std::string message;

  // Sets line and column to those of the byte at offset in text.
  void SetPlace(std::string_view text, std::size_t offset);

  // "<path>: line L, column C: <message>; fix the file, or move it away to
  // start a new site", the place left out when none applies, on one line.
  std::string Text() const;
};

}  // namespace zanth::config
