// Text helpers for the stored files: cutting values to their limits, the
// trailing-slash rule of folders and URLs, and the conversions between the
// bytes clients send and the UTF-8 that XML files hold.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zanth::config {

// At most limit bytes of text. When a well-formed UTF-8 character would be
// split by the cut, the cut backs off to its start, so that the result never
// ends in half a character.
std::string CutText(std::string_view text, std::size_t limit);

// text cut to limit, with "/" appended when it does not already end in "/"
// (a trailing backslash gets one too). Empty text stays empty. The result
// fits in limit.
std::string WithTrailingSlash(std::string_view text, std::size_t limit);

// text as well-formed UTF-8 holding only characters XML allows: valid UTF-8
// sequences are kept, other bytes are taken as Latin-1, and control
// characters other than tab, line feed and carriage return are dropped. For
// local paths, which the system names in UTF-8.
std::string XmlSafeText(std::string_view text);

// Text as clients send it (8-bit characters, Latin-1 in practice) as the
// UTF-8 that an XML file holds: each byte from 0x80 up is the Latin-1
// character of that value, except a well-formed UTF-8 sequence of a
// character above U+00FF, which has no Latin-1 form and is kept as it is.
// Control characters XML cannot hold are dropped. WireFromXml gives back
// exactly the bytes that were not dropped.
std::string XmlFromWire(std::string_view text);

// UTF-8 text read from an XML file as clients expect it: a character up to
// U+00FF becomes its one Latin-1 byte; any other character keeps its UTF-8
// bytes. Bytes that are not UTF-8 are kept as they are.
std::string WireFromXml(std::string_view text);

}  // namespace zanth::config
