// SHA-1 and base64, as the WebSocket handshake's accept value needs them.
#include "http/encoding.h"

#include <cstring>

namespace zanth::http {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void Sha1Block(const std::uint8_t block[64], std::uint32_t h[5]) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 |
           static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f;
    std::uint32_t k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    std::uint32_t t = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

int Base64Value(char c) {
  const char* at = std::strchr(kBase64Alphabet, c);
  return c != '\0' && at != nullptr ? static_cast<int>(at - kBase64Alphabet) : -1;
}

}  // namespace

Sha1Digest Sha1(const std::uint8_t* data, std::size_t size) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::size_t whole = size - size % 64;
  for (std::size_t i = 0; i < whole; i += 64) Sha1Block(data + i, h);
  // The tail, the 0x80 marker and the bit length, in one or two blocks.
  std::uint8_t tail[128] = {};
  std::size_t rest = size - whole;
  if (rest > 0) std::memcpy(tail, data + whole, rest);
  tail[rest] = 0x80;
  std::size_t tail_size = rest < 56 ? 64 : 128;
  std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
  for (int i = 0; i < 8; ++i) {
    tail[tail_size - 1 - static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  for (std::size_t i = 0; i < tail_size; i += 64) Sha1Block(tail + i, h);
  Sha1Digest digest;
  for (std::size_t i = 0; i < 20; ++i) {
    digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
    if (i + 1 < size) group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) group |= data[i + 2];
    out += kBase64Alphabet[(group >> 18) & 63];
    out += kBase64Alphabet[(group >> 12) & 63];
    out += i + 1 < size ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out += i + 2 < size ? kBase64Alphabet[group & 63] : '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    std::size_t pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      int value = j < 4 - pad ? Base64Value(text[i + j]) : 0;
      if (value < 0) return false;
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    // Bits under the padding must be zero, or two texts would name one key.
    if ((pad == 1 && (group & 0xFF) != 0) || (pad == 2 && (group & 0xFFFF) != 0)) return false;
    out->push_back(static_cast<std::uint8_t>(group >> 16));
    if (pad < 2) out->push_back(static_cast<std::uint8_t>(group >> 8));
    if (pad < 1) out->push_back(static_cast<std::uint8_t>(group));
  }
  return true;
}

}  // namespace zanth::http
