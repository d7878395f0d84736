// The tokenizer shared by the legacy preferences file and rooms script:
// source lines of at most 511 characters, each turned into keywords (codes
// from one fixed table), quoted strings and plain words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanth::import {

// Keyword codes: the position in the table, from 1.
enum Keyword : std::uint8_t {
  kNoKeyword = 0,
  kLocked = 1, kNoLooseProps, kArtist, kShowFrame, kShadow, kFill, kPropId, kCrc,
  kNavArea, kEndNavArea, kServerName, kDeathPenalty, kMaxOccupancy, kRoomOccupancy,
  kPurgePropDays, kMaxSessionId, kPicFolder, kUrl, kHttpUrl, kBlurb, kAnnouncement,
  kRoomsFile, kEntrance, kRoom, kId, kDropZone, kName, kDoor, kDest, kOutline, kLoc,
  kEndDoor, kSpot, kScript, kEndScript, kEndSpot, kShowName, kDontMoveHere, kPicture,
  kEndPicture, kTransColor, kPicts, kEndPicts, kNoPainting, kLockable, kBolt, kEndBolt,
  kPrivate, kNoGuests, kProp, kEndProp, kShutable, kNoCyborgs, kHidden, kOperatorsOnly,
  kMaxMembers, kEndRoom, kEnd, kPict, kForward,
};
inline constexpr int kKeywordCount = 60;

// The keyword's text ("" for kNoKeyword).
std::string_view KeywordText(Keyword keyword);

// Longest source line taken at once; a longer line is read in pieces.
inline constexpr std::size_t kLineLimit = 511;
// Room for the packed items of one line: a keyword takes one byte, a quoted
// string its text plus three (two quotes and a terminator), a word its text
// plus one. Items that no longer fit are dropped.
inline constexpr std::size_t kTokenLineLimit = 512;

struct Token {
  Keyword keyword = kNoKeyword;
  bool quoted = false;
  std::string text;  // without the quotes; empty for a keyword

  bool is(Keyword k) const { return keyword == k; }
  bool is_text() const { return keyword == kNoKeyword; }
};

// Splits one source line into items.
std::vector<Token> TokenizeLine(std::string_view line);

// Source lines from a file held in memory.
class LineReader {
 public:
  explicit LineReader(std::string contents) : contents_(std::move(contents)) {}

  // The next raw line, line end included, at most kLineLimit characters, or
  // nothing at the end. Text after a NUL byte in a line is not seen.
  std::optional<std::string_view> NextRaw();
  // The next line worth tokenizing: comment lines (";" first) and lines of
  // two characters or fewer are skipped. Nothing at the end.
  std::optional<std::string_view> NextSignificant();
  int line_number() const { return line_number_; }

 private:
  std::string contents_;
  std::size_t position_ = 0;
  int line_number_ = 0;
};

// Items across lines, for readers that walk a block item by item.
class TokenStream {
 public:
  explicit TokenStream(LineReader& lines) : lines_(lines) {}

  // Replaces the current line's items (file-level reading takes one line at
  // a time). false at the end of the input.
  bool NextLine();
  // The items of the current line not yet taken.
  bool LineHasMore() const { return index_ < items_.size(); }
  // The next item, reading further lines as needed; nothing at the end.
  const Token* Peek();
  std::optional<Token> Next();
  // The text of the next item when it is text; a keyword is left in place
  // and gives nothing, so a missing value never swallows the next keyword.
  std::optional<std::string> NextValue();
  // Forgets what is left of the current line.
  void DropRestOfLine() { index_ = items_.size(); }
  LineReader& lines() { return lines_; }

 private:
  LineReader& lines_;
  std::vector<Token> items_;
  std::size_t index_ = 0;
};

// Leading decimal number of text, like the C library's atoi but clamped to
// the int range; 0 when text does not start with one.
int ParseDecimal(std::string_view text);

}  // namespace zanth::import
