// SHA-1 and base64 from libcrypto.
#include "net/crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <utility>

namespace zanth::net {
namespace {

// EVP_EncodeBlock counts in int: long inputs go in slices of whole 3-byte
// groups, which encode to whole 4-character groups.
constexpr std::size_t kEncodeSlice = 3u << 20;
// EVP_DecodeBlock too; no text near this long is ever a key.
constexpr std::size_t kDecodeLimit = 1u << 30;

}  // namespace

Sha1Digest Sha1(const std::uint8_t* data, std::size_t size) {
  Sha1Digest digest{};
  unsigned int length = 0;
  // The default provider always has SHA-1; a failure leaves the zero digest,
  // which matches no accept value a client computes.
  (void)EVP_Digest(data, size, digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4 + 1);
  std::size_t at = 0;
  do {
    std::size_t slice = std::min(kEncodeSlice, size - at);
    std::size_t start = out.size();
    out.resize(start + (slice + 2) / 3 * 4 + 1);  // EVP_EncodeBlock ends with a NUL
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + start), data + at,
                            static_cast<int>(slice));
    out.resize(start + static_cast<std::size_t>(n));
    at += slice;
  } while (at < size);
  return out;
}

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>* out) {
  out->clear();
  if (text.size() % 4 != 0 || text.size() > kDecodeLimit) return false;
  if (text.empty()) return true;
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  std::size_t decoded = static_cast<std::size_t>(n);
  bytes.resize(decoded - std::min(padding, decoded));
  // It also forgives white space and bits under the padding; only the text
  // that encoding the bytes gives back is canonical, so that two texts never
  // name one key.
  if (Base64Encode(bytes.data(), bytes.size()) != text) return false;
  *out = std::move(bytes);
  return true;
}

}  // namespace zanth::net
