// Reader for the older markup form of the configuration file.
#include "config/markup.h"

#include <string>
#include <utility>

#include "config/names.h"
#include "config/text.h"

namespace zanth::config {
namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n";
constexpr std::string_view kNameEnd = " \t\r\n>";
constexpr std::string_view kAttributeEnd = " \t\r\n>=";

// Rooms hold props and nothing deeper; a limit keeps a hostile file of
// nested rooms from exhausting the stack.
constexpr int kMaxRoomDepth = 16;

}  // namespace

int MarkupReader::Next(Element* element) {
  while (!failed_) {
    SkipWhiteSpace();
    if (pos_ >= text_.size()) return 0;
    // Anything before the next "<" is not part of an element.
    std::size_t open = text_.find('<', pos_);
    if (open == std::string_view::npos) {
      Fail(pos_, "text that is not an element");
      break;
    }
    pos_ = open;
    int result = ReadElement(element, 0);
    if (result > 0) return 1;
    if (result < 0) break;
  }
  failed_ = true;
  return -1;
}

int MarkupReader::Fail(std::size_t offset, std::string message) {
  if (error_.empty()) {
    error_ = std::move(message);
    error_offset_ = offset;
  }
  return -1;
}

int MarkupReader::ReadElement(Element* element, int depth) {
  const std::size_t start = pos_;
  std::size_t name_start = pos_ + 1;
  std::size_t name_end = text_.find_first_of(kNameEnd, name_start);
  if (name_end == std::string_view::npos) return Fail(start, "a tag that does not end");
  std::string_view name = text_.substr(name_start, name_end - name_start);

  if (!IsElementName(name)) {
    // Skip past the closing tag, or past the opening tag when there is none.
    std::string closing = "</" + std::string(name) + ">";
    std::size_t close = text_.find(closing, name_end);
    if (close != std::string_view::npos) {
      pos_ = close + closing.size();
      return 0;
    }
    std::size_t tag_end = text_.find('>', name_end);
    if (tag_end == std::string_view::npos) return Fail(start, "a tag that does not end");
    pos_ = tag_end + 1;
    return 0;
  }

  *element = Element();
  element->name = std::string(name);
  pos_ = name_end;
  if (!ReadAttributes(element)) return Fail(start, "a tag that does not end");

  SkipWhiteSpace();
  if (name == "room") {
    if (depth >= kMaxRoomDepth) return Fail(start, "rooms nested too deeply");
    std::size_t open = text_.find('<', pos_);
    if (open == std::string_view::npos) return Fail(start, "a room that does not end");
    element->text = std::string(text_.substr(pos_, open - pos_));
    pos_ = open;
    return ReadRoomChildren(element, depth) ? 1 : Fail(start, "a room that does not end");
  }

  std::string closing = "</" + element->name + ">";
  std::size_t close = text_.find(closing, pos_);
  if (close == std::string_view::npos) return Fail(start, "no closing tag " + closing);
  element->text = std::string(text_.substr(pos_, close - pos_));
  pos_ = close + closing.size();
  return 1;
}

bool MarkupReader::ReadAttributes(Element* element) {
  for (;;) {
    SkipWhiteSpace();
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == '>') {
      ++pos_;
      return true;
    }
    std::size_t name_end = text_.find_first_of(kAttributeEnd, pos_);
    if (name_end == std::string_view::npos) return false;
    std::string_view name = text_.substr(pos_, name_end - pos_);
    pos_ = name_end;

    std::string_view value;
    if (text_[pos_] == '=') {
      ++pos_;
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == '"') {
        std::size_t quote = text_.find('"', pos_ + 1);
        if (quote == std::string_view::npos) return false;
        value = text_.substr(pos_ + 1, quote - pos_ - 1);
        pos_ = quote + 1;
      } else {
        std::size_t value_end = text_.find_first_of(kAttributeEnd, pos_);
        if (value_end == std::string_view::npos) return false;
        value = text_.substr(pos_, value_end - pos_);
        pos_ = value_end;
      }
    }
    // A stray "=" leaves an empty name; there is nothing to record then.
    if (!name.empty()) {
      element->attributes.emplace_back(std::string(name),
                                       CutText(value, kMarkupValueLimit));
    }
  }
}

bool MarkupReader::ReadRoomChildren(Element* room, int depth) {
  for (;;) {
    std::size_t open = text_.find('<', pos_);
    if (open == std::string_view::npos) return false;
    pos_ = open;
    if (text_.compare(pos_, 2, "</") == 0) {
      // Any closing tag ends the room.
      std::size_t tag_end = text_.find('>', pos_);
      if (tag_end == std::string_view::npos) return false;
      pos_ = tag_end + 1;
      return true;
    }
    Element child;
    int result = ReadElement(&child, depth + 1);
    if (result < 0) return false;
    if (result > 0) room->children.push_back(std::move(child));
  }
}

void MarkupReader::SkipWhiteSpace() {
  while (pos_ < text_.size() &&
         kWhiteSpace.find(text_[pos_]) != std::string_view::npos) {
    ++pos_;
  }
}

}  // namespace zanth::config
