// The WebSocket frame decoder and the per-connection link state.
#include "net/websocket.h"

#include <algorithm>
#include <cstring>

namespace zanth::net {

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
