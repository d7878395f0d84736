// Tokenizer for the legacy preferences file and rooms script.
#include "import/legacy_tokens.h"

#include <algorithm>
#include <array>
#include <climits>

#include "core/log.h"

namespace zanth::import {
namespace {

constexpr std::array<std::string_view, kKeywordCount + 1> kKeywords = {
    "",
    "LOCKED", "NOLOOSEPROPS", "ARTIST", "SHOWFRAME", "SHADOW", "FILL", "PROPID", "CRC",
    "NAVAREA", "ENDNAVAREA", "SERVERNAME", "DEATHPENALTY", "MAXOCCUPANCY",
    "ROOMOCCUPANCY", "PURGEPROPDAYS", "MAXSESSIONID", "PICFOLDER", "URL", "HTTP_URL",
    "BLURB", "ANNOUNCEMENT", "ROOMSFILE", "ENTRANCE", "ROOM", "ID", "DROPZONE", "NAME",
    "DOOR", "DEST", "OUTLINE", "LOC", "ENDDOOR", "SPOT", "SCRIPT", "ENDSCRIPT", "ENDSPOT",
    "SHOWNAME", "DONTMOVEHERE", "PICTURE", "ENDPICTURE", "TRANSCOLOR", "PICTS", "ENDPICTS",
    "NOPAINTING", "LOCKABLE", "BOLT", "ENDBOLT", "PRIVATE", "NOGUESTS", "PROP", "ENDPROP",
    "SHUTABLE", "NOCYBORGS", "HIDDEN", "OPERATORSONLY", "MAXMEMBERS", "ENDROOM", "END",
    "PICT", "FORWARD",
};

bool IsSpace(char c) { return c == '\r' || c == '\t' || c == '\n' || c == ' '; }

// The keyword that begins text. Keywords are tried in table order and the
// first prefix wins, except that a longer keyword also matching beats it:
// table order alone would read "LOCKABLE" as "LOC" followed by a stray word,
// losing the closable flag. "LOCKABLE" is the only keyword this changes.
Keyword MatchKeyword(std::string_view text) {
  int best = 0;
  for (int code = 1; code <= kKeywordCount; ++code) {
    std::string_view word = kKeywords[static_cast<std::size_t>(code)];
    if (!text.starts_with(word)) continue;
    if (best == 0 || word.size() > kKeywords[static_cast<std::size_t>(best)].size()) best = code;
  }
  return static_cast<Keyword>(best);
}

}  // namespace

std::string_view KeywordText(Keyword keyword) {
  return static_cast<std::size_t>(keyword) <= kKeywordCount ? kKeywords[keyword] : "";
}

std::vector<Token> TokenizeLine(std::string_view line) {
  std::vector<Token> items;
  std::size_t packed = 0;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i >= line.size()) break;
    Token token;
    std::size_t cost = 0;
    if (line[i] == '"') {
      std::size_t end = line.find('"', i + 1);
      std::size_t stop = end;
      if (end == std::string_view::npos) {
        // No closing quote: the string runs to the line end.
        stop = line.find_first_of("\r\n", i + 1);
        if (stop == std::string_view::npos) stop = line.size();
      }
      token.quoted = true;
      token.text = std::string(line.substr(i + 1, stop - i - 1));
      cost = token.text.size() + 3;
      i = end == std::string_view::npos ? line.size() : end + 1;
    } else if (Keyword keyword = MatchKeyword(line.substr(i)); keyword != kNoKeyword) {
      token.keyword = keyword;
      cost = 1;
      // The keyword and the one character after it (its separator); never
      // beyond the line when the keyword ends it.
      i = std::min(line.size(), i + KeywordText(keyword).size() + 1);
    } else {
      std::size_t end = i;
      while (end < line.size() && !IsSpace(line[end])) ++end;
      token.text = std::string(line.substr(i, end - i));
      cost = token.text.size() + 1;
      i = end;
    }
    if (packed + cost > kTokenLineLimit) break;
    packed += cost;
    items.push_back(std::move(token));
  }
  return items;
}

std::optional<std::string_view> LineReader::NextRaw() {
  if (position_ >= contents_.size()) return std::nullopt;
  std::string_view rest(contents_);
  rest.remove_prefix(position_);
  std::size_t length = rest.find('\n');
  length = length == std::string_view::npos ? rest.size() : length + 1;
  if (length > kLineLimit) length = kLineLimit;
  position_ += length;
  ++line_number_;
  std::string_view line = rest.substr(0, length);
  if (std::size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
  return line;
}

std::optional<std::string_view> LineReader::NextSignificant() {
  while (std::optional<std::string_view> line = NextRaw()) {
    if (line->size() <= 2 || line->front() == ';') continue;
    LogDebug("New line %d read", line_number_);
    return line;
  }
  return std::nullopt;
}

bool TokenStream::NextLine() {
  // A significant line may still hold no items (only blanks); it counts as
  // a line all the same.
  std::optional<std::string_view> line = lines_.NextSignificant();
  items_ = line ? TokenizeLine(*line) : std::vector<Token>{};
  index_ = 0;
  return line.has_value();
}

const Token* TokenStream::Peek() {
  while (index_ >= items_.size()) {
    LogDebug("Fetching next line");
    if (!NextLine()) return nullptr;
  }
  return &items_[index_];
}

std::optional<Token> TokenStream::Next() {
  if (Peek() == nullptr) return std::nullopt;
  return std::move(items_[index_++]);
}

std::optional<std::string> TokenStream::NextValue() {
  const Token* token = Peek();
  if (token == nullptr || !token->is_text()) return std::nullopt;
  return std::move(items_[index_++].text);
}

int ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

}  // namespace zanth::import
