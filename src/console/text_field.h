// One edit field of a dialog: its text, its cursor and the editing keys,
// with cut, copy and paste through a clipboard the console keeps.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zanth::console {

class TextField {
 public:
  // A field holding text (cut to limit), the cursor at its end.
  TextField(std::string_view text, std::size_t limit);

  const std::string& text() const { return text_; }
  std::size_t cursor() const { return cursor_; }

  // Inserts a printable character at the cursor; ignored at the limit.
  void Insert(char c);
  void Backspace();
  void Delete();
  void MoveLeft();
  void MoveRight();
  void MoveHome() { cursor_ = 0; }
  void MoveEnd() { cursor_ = text_.size(); }
  // Cut takes the whole text into the clipboard and empties the field;
  // Copy only copies it. A field has no selection, so both act on all of it.
  void Cut(std::string* clipboard);
  void Copy(std::string* clipboard) const { *clipboard = text_; }
  // Inserts the clipboard's printable characters at the cursor, as many as
  // the limit leaves room for.
  void Paste(std::string_view clipboard);
  // Puts back the text the field opened with.
  void Undo();

  // The first character to show in a view width columns wide so that the
  // cursor stays in view; first is the one shown last time.
  std::size_t FirstShown(std::size_t first, std::size_t width) const;

 private:
  std::string original_;
  std::string text_;
  std::size_t limit_;
  std::size_t cursor_;
};

}  // namespace zanth::console
