// The MIME table: content types by file extension, loaded from a text of
// lines "type<tabs>ext ext ...".
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zanth::http {

class MimeTable {
 public:
  // Loads text; an extension already present keeps its first type. Loading
  // ends at the end, at an empty line, or at a line without an extension.
  void Load(std::string_view text);
  // The type of an extension (exact, case-sensitive), or "*/*".
  const std::string& TypeOf(const std::string& extension) const;
  std::size_t size() const { return types_.size(); }

 private:
  std::map<std::string, std::string> types_;
};

}  // namespace zanth::http
