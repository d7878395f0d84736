// SHA-1 and base64 from libcrypto, as the WebSocket handshake's accept value
// needs them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zanth::net {

using Sha1Digest = std::array<std::uint8_t, 20>;
Sha1Digest Sha1(const std::uint8_t* data, std::size_t size);

// Standard base64 with "=" padding, on one line.
std::string Base64Encode(const std::uint8_t* data, std::size_t size);
// Decodes padded base64 in its one canonical form; false for any other
// character (white space included), a length that is not a multiple of 4,
// misplaced padding or non-zero bits under the padding.
bool Base64Decode(std::string_view text, std::vector<std::uint8_t>* out);

}  // namespace zanth::net
