// Prop identifiers: 20 bytes compared byte for byte, and their text forms
// in the configuration file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zanth::props {

using PropId = std::array<std::uint8_t, 20>;

// Custom props (first 4 bytes not all zero) are uploaded and cached;
// standard ones are known to every client.
inline bool IsCustom(const PropId& id) { return id[0] | id[1] | id[2] | id[3]; }

// "#" and five scrambled words (each 4 bytes read least significant first),
// as eight upper-case hex digits each.
std::string PropIdText(const PropId& id);
// Reads both forms: "#" with scrambled words, or five plain words. false
// when the text is not 40 hex digits (after the optional "#").
bool ParsePropIdText(std::string_view text, PropId* id);

}  // namespace zanth::props
