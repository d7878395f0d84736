// What every fuzz target shares: a scratch folder of its own, a log that
// goes nowhere, and reading a fuzz input field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zanth::fuzz {

// A folder made once per process (removed at exit), ending in "/".
const std::string& ScratchDir();

// Empties ScratchDir() and makes the named subfolders again, so that no
// file written for one input is seen by the next.
void ResetScratchDir(std::initializer_list<const char*> subfolders = {});

// Writes bytes to ScratchDir() + name; returns the path. Aborts on failure:
// a harness that cannot write its input would test nothing.
std::string WriteScratchFile(const std::string& name, std::string_view bytes);

// Sends log lines to /dev/null (they are still formatted) and sets verbose.
void QuietLog(bool verbose);

// Reads a fuzz input front to back; a read past the end yields zeros or
// what is left.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining() const { return size_ - pos_; }
  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>((U8() << 8) | U8()); }
  std::uint32_t U32() {
    std::uint32_t high = U16();
    return (high << 16) | U16();
  }
  // Up to count bytes.
  std::string_view Bytes(std::size_t count);
  std::string_view Rest() { return Bytes(remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace zanth::fuzz
