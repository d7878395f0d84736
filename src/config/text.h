// Text helpers for the configuration file: cutting values to their limits,
// the trailing-slash rule of folders and URLs, and text safe to put in XML.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zanth::config {

// At most limit bytes of text. The cut backs off over a UTF-8 character that
// would otherwise be split, so the result never ends in half a character.
std::string CutText(std::string_view text, std::size_t limit);

// text cut to limit, with "/" appended when it does not already end in "/"
// (a trailing backslash gets one too). Empty text stays empty. The result
// fits in limit.
std::string WithTrailingSlash(std::string_view text, std::size_t limit);

// text as well-formed UTF-8 holding only characters XML allows: valid UTF-8
// sequences are kept, other bytes are taken as Latin-1, and control
// characters other than tab, line feed and carriage return are dropped.
std::string XmlSafeText(std::string_view text);

}  // namespace zanth::config
