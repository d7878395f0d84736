// Edit fields.
#include "console/text_field.h"

namespace zanth::console {
namespace {

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

TextField::TextField(std::string_view text, std::size_t limit)
    : original_(text.substr(0, limit)), text_(original_), limit_(limit), cursor_(text_.size()) {}

void TextField::Insert(char c) {
  if (!Printable(c) || text_.size() >= limit_) return;
  text_.insert(cursor_, 1, c);
  ++cursor_;
}

void TextField::Backspace() {
  if (cursor_ == 0) return;
  text_.erase(--cursor_, 1);
}

void TextField::Delete() {
  if (cursor_ < text_.size()) text_.erase(cursor_, 1);
}

void TextField::MoveLeft() {
  if (cursor_ > 0) --cursor_;
}

void TextField::MoveRight() {
  if (cursor_ < text_.size()) ++cursor_;
}

void TextField::Cut(std::string* clipboard) {
  *clipboard = text_;
  text_.clear();
  cursor_ = 0;
}

void TextField::Paste(std::string_view clipboard) {
  for (char c : clipboard) Insert(c);
}

void TextField::Undo() {
  text_ = original_;
  cursor_ = text_.size();
}

std::size_t TextField::FirstShown(std::size_t first, std::size_t width) const {
  if (width == 0) return cursor_;
  if (cursor_ < first) return cursor_;
  // The cursor may sit just past the last character, so it needs a column.
  if (cursor_ >= first + width) return cursor_ - width + 1;
  return first;
}

}  // namespace zanth::console
