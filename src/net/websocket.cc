// WebSocket handshake, frame decoder and the per-connection link state.
#include "net/websocket.h"

#include <algorithm>
#include <cstring>

namespace zanth::net {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 12\r\n\r\nBad Request\n";
constexpr char kUpgradeRequired[] =
    "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\n"
    "Content-Length: 17\r\n\r\nUpgrade Required\n";

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

std::string_view Trim(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string_view Header(const HeaderMap& headers, const std::string& name) {
  auto it = headers.find(name);
  return it == headers.end() ? std::string_view() : Trim(it->second);
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

std::string WebSocketAccept(std::string_view key) {
  std::string text(key);
  text += kAcceptGuid;
  Sha1Digest digest = Sha1(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return Base64Encode(digest.data(), digest.size());
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    if (EqualsIgnoringCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

bool IsUpgradeAttempt(const HeaderMap& headers) { return headers.count("upgrade") > 0; }

HandshakeAnswer BadHandshake() { return {400, kBadRequest}; }

HandshakeAnswer AnswerHandshake(std::string_view method, const HeaderMap& headers) {
  if (method != "GET" || !HasToken(Header(headers, "upgrade"), "websocket") ||
      !HasToken(Header(headers, "connection"), "upgrade")) {
    return BadHandshake();
  }
  std::string_view version = Header(headers, "sec-websocket-version");
  if (version.empty()) return BadHandshake();
  if (version != "13") return {426, kUpgradeRequired};
  std::string_view key = Header(headers, "sec-websocket-key");
  std::vector<std::uint8_t> nonce;
  if (!Base64Decode(key, &nonce) || nonce.size() != 16) return BadHandshake();
  return {101,
          "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Accept: " +
              WebSocketAccept(key) + "\r\n\r\n"};
}

std::size_t EncodeFrameHeader(std::uint8_t opcode, std::uint64_t length,
                              std::uint8_t out[kMaxFrameHeader]) {
  out[0] = static_cast<std::uint8_t>(0x80 | (opcode & 0x0F));
  if (length < 126) {
    out[1] = static_cast<std::uint8_t>(length);
    return 2;
  }
  if (length <= 0xFFFF) {
    out[1] = 126;
    out[2] = static_cast<std::uint8_t>(length >> 8);
    out[3] = static_cast<std::uint8_t>(length);
    return 4;
  }
  out[1] = 127;
  for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<std::uint8_t>(length >> (56 - 8 * i));
  return 10;
}

std::uint16_t FrameDecoder::CheckStart() const {
  std::uint8_t first = header_[0];
  std::uint8_t second = header_[1];
  bool fin = (first & 0x80) != 0;
  std::uint8_t opcode = first & 0x0F;
  if (first & 0x70) return kCloseProtocolError;  // no extension was agreed
  if (opcode == kOpText) return kCloseUnsupportedData;
  if (opcode >= kOpClose) {
    if (opcode > kOpPong || !fin || (second & 0x7F) > kMaxControlPayload) {
      return kCloseProtocolError;
    }
  } else if (opcode == kOpContinuation) {
    if (!in_message_) return kCloseProtocolError;
  } else if (opcode != kOpBinary || in_message_) {
    return kCloseProtocolError;
  }
  if (!(second & 0x80)) return kCloseProtocolError;  // clients must mask
  return 0;
}

std::uint16_t FrameDecoder::BeginPayload() {
  std::uint8_t length7 = header_[1] & 0x7F;
  std::uint64_t length = length7;
  std::size_t at = 2;
  if (length7 == 126) {
    length = static_cast<std::uint64_t>(header_[2]) << 8 | header_[3];
    at = 4;
    if (length < 126) return kCloseProtocolError;  // lengths use the shortest form
  } else if (length7 == 127) {
    length = 0;
    for (std::size_t i = 2; i < 10; ++i) length = length << 8 | header_[i];
    at = 10;
    if ((length >> 63) != 0 || length <= 0xFFFF) return kCloseProtocolError;
  }
  std::memcpy(mask_.data(), header_.data() + at, 4);
  opcode_ = header_[0] & 0x0F;
  bool fin = (header_[0] & 0x80) != 0;
  if (opcode_ == kOpBinary || opcode_ == kOpContinuation) in_message_ = !fin;
  remaining_ = length;
  offset_ = 0;
  control_size_ = 0;
  in_payload_ = true;
  header_have_ = 0;
  header_need_ = 2;
  return 0;
}

FrameDecoder::Event FrameDecoder::EndFrame() {
  in_payload_ = false;
  switch (opcode_) {
    case kOpPing:
      return Event::kPing;
    case kOpPong:
      return Event::kPong;
    case kOpClose:
      if (control_size_ == 1) {  // a status code is two bytes or absent
        failed_ = true;
        error_code_ = kCloseProtocolError;
        return Event::kError;
      }
      return Event::kClose;
    default:
      return Event::kNone;
  }
}

FrameDecoder::Step FrameDecoder::Decode(const std::uint8_t* in, std::size_t count,
                                        std::uint8_t* out) {
  Step step;
  auto fail = [&](std::uint16_t code) {
    failed_ = true;
    error_code_ = code;
    step.consumed = count;
    step.event = Event::kError;
    return step;
  };
  if (failed_) {
    step.consumed = count;
    return step;
  }
  while (step.consumed < count) {
    if (!in_payload_) {
      header_[header_have_++] = in[step.consumed++];
      if (header_have_ < header_need_) continue;
      if (header_have_ == 2) {
        if (std::uint16_t code = CheckStart(); code != 0) return fail(code);
        std::uint8_t length7 = header_[1] & 0x7F;
        header_need_ = 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + 4;
        continue;
      }
      if (std::uint16_t code = BeginPayload(); code != 0) return fail(code);
      if (remaining_ > 0) continue;
    } else {
      std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, count - step.consumed));
      const std::uint8_t* from = in + step.consumed;
      if (opcode_ >= kOpClose) {
        for (std::size_t i = 0; i < take; ++i) {
          control_[control_size_++] = from[i] ^ mask_[(offset_ + i) & 3];
        }
      } else {
        // Forward, byte by byte: out never runs ahead of from.
        std::uint8_t* to = out + step.payload;
        for (std::size_t i = 0; i < take; ++i) to[i] = from[i] ^ mask_[(offset_ + i) & 3];
        step.payload += take;
      }
      step.consumed += take;
      offset_ += take;
      remaining_ -= take;
      if (remaining_ > 0) continue;
    }
    Event event = EndFrame();
    if (event == Event::kError) return fail(error_code_);
    if (event != Event::kNone) {
      step.event = event;
      return step;
    }
  }
  return step;
}

WebSocketLink::WebSocketLink(std::string_view handshake_reply)
    : pending_(handshake_reply.begin(), handshake_reply.end()) {}

std::size_t WebSocketLink::Receive(std::uint8_t* data, std::size_t count) {
  std::size_t read = 0;
  std::size_t written = 0;
  while (read < count && !close_queued_) {
    FrameDecoder::Step step = decoder_.Decode(data + read, count - read, data + written);
    read += step.consumed;
    written += step.payload;
    switch (step.event) {
      case FrameDecoder::Event::kPing:
        pong_queued_ = true;
        pong_size_ = decoder_.control_size();
        std::memcpy(pong_.data(), decoder_.control_payload(), pong_size_);
        break;
      case FrameDecoder::Event::kClose:
        // The reply echoes the status code.
        QueueClose(decoder_.control_payload(), std::min<std::size_t>(decoder_.control_size(), 2));
        break;
      case FrameDecoder::Event::kError: {
        std::uint8_t code[2] = {static_cast<std::uint8_t>(decoder_.error_code() >> 8),
                                static_cast<std::uint8_t>(decoder_.error_code())};
        QueueClose(code, 2);
        break;
      }
      case FrameDecoder::Event::kPong:
      case FrameDecoder::Event::kNone:
        break;
    }
  }
  return written;
}

void WebSocketLink::QueueClose(const std::uint8_t* payload, std::size_t size) {
  if (close_queued_) return;
  close_queued_ = true;
  close_size_ = size;
  std::memcpy(close_.data(), payload, size);
}

void WebSocketLink::Sent(std::size_t count) {
  pending_head_ += count;
  if (pending_head_ >= pending_.size()) {
    std::vector<std::uint8_t>().swap(pending_);
    pending_head_ = 0;
  }
}

void WebSocketLink::Keep(const std::uint8_t* bytes, std::size_t count) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_head_));
  pending_head_ = 0;
  pending_.insert(pending_.end(), bytes, bytes + count);
}

std::size_t WebSocketLink::NextControlFrame(
    std::uint8_t out[kMaxFrameHeader + kMaxControlPayload]) {
  if (close_taken_) return 0;  // nothing follows a close frame
  if (pong_queued_) {
    pong_queued_ = false;
    std::size_t header = EncodeFrameHeader(kOpPong, pong_size_, out);
    std::memcpy(out + header, pong_.data(), pong_size_);
    return header + pong_size_;
  }
  if (close_queued_) {
    close_taken_ = true;
    std::size_t header = EncodeFrameHeader(kOpClose, close_size_, out);
    std::memcpy(out + header, close_.data(), close_size_);
    return header + close_size_;
  }
  return 0;
}

std::size_t WebSocketLink::queued() const {
  std::size_t count = pending_size();
  if (pong_queued_ && !close_taken_) count += 2 + pong_size_;
  if (close_queued_ && !close_taken_) count += 2 + close_size_;
  return count;
}

}  // namespace zanth::net
