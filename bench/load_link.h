// One non-blocking link of the fan-out load generator, in one of three
// forms: a chat link (a connect from a chosen loopback source address, the
// scrambled sending direction with its seed byte, the receiving direction
// cut into messages), the same chat stream carried in WebSocket frames as
// a browser sends it, or an IRC link (lines). The caller owns the
// readiness loop; this class never waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "net/scramble.h"
#include "platform/socket.h"
#include "wire/framing.h"

namespace zanth::bench {

// The type handed to MessageReceiver::OnMessage for each line of an IRC
// link (the line without its end).
inline constexpr std::uint32_t kIrcLine = 0;

class LoadLink {
 public:
  enum class Mode { kChat, kWebSocket, kIrc };

  LoadLink() = default;
  LoadLink(const LoadLink&) = delete;
  LoadLink& operator=(const LoadLink&) = delete;

  // Starts a connect to 127.0.0.1:port from source (host order, port 0),
  // with TCP_NODELAY. *done tells whether it completed at once; else it
  // completes through write readiness (then call FinishConnect). seed
  // starts the sending direction of a chat stream. A WebSocket link first
  // sends the opening handshake for path and holds every message until
  // the server has answered it. Returns 0 or the system error.
  int Connect(Mode mode, std::uint32_t source, std::uint16_t port, std::uint8_t seed,
              bool* done, std::string_view path = "/chat-socket");
  // The connect's outcome once the socket is writable: 0 or the error.
  int FinishConnect();

  // Frames one chat message and queues it scrambled (the seed byte first on
  // the first send; inside a masked binary frame on a WebSocket link), then
  // sends what the socket takes. Returns 0 or the system error; what the
  // socket did not take stays queued (see wants_write).
  int Send(std::uint32_t type, const std::uint8_t* payload, std::size_t size);
  // Queues raw bytes (IRC lines) and sends what the socket takes.
  int SendRaw(std::string_view bytes);
  // Sends what is queued. Returns 0 or the system error.
  int Flush();
  // Bytes are waiting for write readiness.
  bool wants_write() const { return out_head_ < sendable_; }

  // Reads what the socket holds (at most a few reads) and hands every
  // complete message (or IRC line) to receiver, in order. scratch is a
  // buffer shared by all links. Returns the bytes read (0 when none were
  // waiting), or -1 when the link ended: *error is 0 for an orderly close,
  // else the system error, or kFailed for bad framing or a refused
  // handshake.
  long Read(std::vector<std::uint8_t>* scratch, wire::MessageReceiver& receiver, int* error);

  void Close() { socket_.Close(); }
  int fd() const { return socket_.fd(); }
  bool open() const { return socket_.valid(); }

 private:
  // Strips the WebSocket frames (and, first, the handshake answer) from
  // data[0, size) in place; returns the stream bytes now at its front, or
  // -1 for a refused handshake.
  long Unframe(std::uint8_t* data, std::size_t size);
  // Cuts the lines out of data[0, size); returns the bytes consumed.
  std::size_t Lines(const std::uint8_t* data, std::size_t size, wire::MessageReceiver& receiver);

  Mode mode_ = Mode::kChat;
  platform::Socket socket_;
  std::uint8_t seed_ = 0;
  net::LinkScrambler scrambler_;
  net::LinkDescrambler descrambler_;
  std::vector<std::uint8_t> frame_;
  std::vector<std::uint8_t> out_;  // scrambled (and framed), not yet sent
  std::size_t out_head_ = 0;
  // out_[0, sendable_) may go out: a WebSocket link holds its messages
  // behind the handshake until the answer came.
  std::size_t sendable_ = 0;
  bool handshake_done_ = true;
  std::vector<std::uint8_t> answer_;  // the handshake answer so far
  std::vector<std::uint8_t> carry_;  // received, not yet a whole message
  std::size_t carry_plain_ = 0;      // how much of carry_ is descrambled
  // WebSocket frame decoding: the header being read, and the payload bytes
  // left in the current frame (skipped for control frames).
  std::uint8_t ws_header_[10] = {};
  std::size_t ws_have_ = 0;
  std::uint64_t ws_left_ = 0;
  bool ws_skip_ = false;
};

}  // namespace zanth::bench
