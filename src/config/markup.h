// Reader for the older, XML-like markup form of the configuration file:
// tags without a declaration, unescaped values, and "room" as a container.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "config/config_file.h"

namespace zanth::config {

// Attribute values of the older form hold at most this many characters.
inline constexpr std::size_t kMarkupValueLimit = 1023;

// Hands out the elements of an older-form text one at a time. Elements whose
// names are not in kElementNames are skipped. The text must outlive the
// reader.
class MarkupReader {
 public:
  explicit MarkupReader(std::string_view text) : text_(text) {}

  // Returns 1 with the next element in *element, 0 when only white space is
  // left, or -1 when the rest of the text does not form an element (no "<",
  // an unterminated tag, value or closing tag). After -1 the reader is done.
  int Next(Element* element);

  // After -1: what could not be read, and the offset in the text where it
  // starts.
  const std::string& error() const { return error_; }
  std::size_t error_offset() const { return error_offset_; }

 private:
  // Reads the element whose "<" is at pos_, depth rooms deep. Returns 1 with
  // *element filled, 0 when the element was unknown and skipped, or -1.
  int ReadElement(Element* element, int depth);
  // Reads attributes up to and including the tag's ">".
  bool ReadAttributes(Element* element);
  // Reads a room's nested elements up to and including its closing tag.
  bool ReadRoomChildren(Element* room, int depth);
  void SkipWhiteSpace();
  // Keeps the first error, at offset; returns -1 (false as a bool).
  int Fail(std::size_t offset, std::string message);

  std::string_view text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  std::string error_;
  std::size_t error_offset_ = 0;
};

}  // namespace zanth::config
