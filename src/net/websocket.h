// WebSocket links: the frame layer that carries a connection's byte stream
// in binary frames, so that a browser speaks the chat protocol unchanged.
// The opening handshake is the HTTP server's (http/websocket_handshake.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zanth::net {

inline constexpr std::uint8_t kOpContinuation = 0x0;
inline constexpr std::uint8_t kOpText = 0x1;
inline constexpr std::uint8_t kOpBinary = 0x2;
inline constexpr std::uint8_t kOpClose = 0x8;
inline constexpr std::uint8_t kOpPing = 0x9;
inline constexpr std::uint8_t kOpPong = 0xA;

inline constexpr std::uint16_t kCloseProtocolError = 1002;
inline constexpr std::uint16_t kCloseUnsupportedData = 1003;

inline constexpr std::size_t kMaxControlPayload = 125;
inline constexpr std::size_t kMaxFrameHeader = 10;  // a server frame: unmasked

// Writes the header of one unmasked server frame with FIN set; returns its
// size (2, 4 or 10 bytes).
std::size_t EncodeFrameHeader(std::uint8_t opcode, std::uint64_t length,
                              std::uint8_t out[kMaxFrameHeader]);

// An incremental decoder of client frames. Headers and control frames may
// arrive split at any byte; data payloads are streamed out as they come, so
// no frame is ever held whole.
class FrameDecoder {
 public:
  enum class Event {
    kNone,
    kPing,  // control_payload() holds its payload
    kPong,
    kClose,  // control_payload() holds status code and reason
    kError,  // error_code() says why; every later byte is ignored
  };
  struct Step {
    std::size_t consumed = 0;  // bytes read from in
    std::size_t payload = 0;   // unmasked data payload bytes written to out
    Event event = Event::kNone;
  };

  // Reads up to count bytes from in, writing the unmasked payload of binary
  // and continuation frames to out. Stops after each complete control frame
  // and at an error. out may be in itself or lie before it (decoding in
  // place): payload bytes are never written ahead of the bytes read.
  Step Decode(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

  const std::uint8_t* control_payload() const { return control_.data(); }
  std::size_t control_size() const { return control_size_; }
  std::uint16_t error_code() const { return error_code_; }
  bool failed() const { return failed_; }

 private:
  // Checks the first two header bytes; 0 or a close code.
  std::uint16_t CheckStart() const;
  // Checks a whole header and sets up the payload; 0 or a close code.
  std::uint16_t BeginPayload();
  Event EndFrame();

  std::array<std::uint8_t, 14> header_{};
  std::size_t header_have_ = 0;
  std::size_t header_need_ = 2;
  bool in_payload_ = false;
  bool failed_ = false;
  bool in_message_ = false;  // a fragmented binary message goes on
  std::uint8_t opcode_ = 0;
  std::array<std::uint8_t, 4> mask_{};
  std::uint64_t remaining_ = 0;
  std::uint64_t offset_ = 0;  // payload position, for the mask
  std::array<std::uint8_t, kMaxControlPayload> control_{};
  std::size_t control_size_ = 0;
  std::uint16_t error_code_ = 0;
};

// The WebSocket state of one connection: the decoder of what arrives, and on
// the sending side the control replies and the unsent rest of a frame, which
// must go out before any other frame.
class WebSocketLink {
 public:
  // handshake_reply goes out raw, ahead of every frame.
  explicit WebSocketLink(std::string_view handshake_reply);

  // Decodes received bytes in place: returns how many stream bytes now lie
  // at the front of data. Pings and closes queue their replies; after a
  // close or a protocol error nothing more is decoded.
  std::size_t Receive(std::uint8_t* data, std::size_t count);

  // A protocol error was seen; its close frame is queued.
  bool failed() const { return decoder_.failed(); }
  // Stream bytes may still be framed: no close frame is queued.
  bool open() const { return !close_queued_; }
  // The close frame has gone out whole: the connection is done.
  bool finished() const { return close_taken_ && pending_.empty(); }

  // Bytes of a frame already started (or the handshake reply), which must be
  // sent before anything else.
  bool has_pending() const { return !pending_.empty(); }
  const std::uint8_t* pending_data() const { return pending_.data() + pending_head_; }
  std::size_t pending_size() const { return pending_.size() - pending_head_; }
  // count pending bytes went out; the buffer is released once empty.
  void Sent(std::size_t count);
  // Adds bytes that go out before any other: a frame's header, a control
  // frame.
  void Keep(const std::uint8_t* bytes, std::size_t count);

  // Writes the next control reply (a pong, then the close) as a whole frame
  // into out; returns its size, 0 when none is queued.
  std::size_t NextControlFrame(std::uint8_t out[kMaxFrameHeader + kMaxControlPayload]);

  // Bytes waiting here: the pending rest and the queued replies.
  std::size_t queued() const;

 private:
  void QueueClose(const std::uint8_t* payload, std::size_t size);

  FrameDecoder decoder_;
  std::vector<std::uint8_t> pending_;
  std::size_t pending_head_ = 0;
  // Only the latest ping is answered, so replies never pile up behind a
  // peer that does not read.
  bool pong_queued_ = false;
  std::array<std::uint8_t, kMaxControlPayload> pong_{};
  std::size_t pong_size_ = 0;
  bool close_queued_ = false;
  bool close_taken_ = false;
  std::array<std::uint8_t, 2> close_{};
  std::size_t close_size_ = 0;
};

}  // namespace zanth::net
