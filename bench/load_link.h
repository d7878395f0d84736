// One non-blocking chat link of the fan-out load generator: a connect from a
// chosen loopback source address, the scrambled sending direction with its
// seed byte, and the receiving direction cut into messages. The caller owns
// the readiness loop; this class never waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/scramble.h"
#include "platform/socket.h"
#include "wire/framing.h"

namespace zanth::bench {

class LoadLink {
 public:
  LoadLink() = default;
  LoadLink(const LoadLink&) = delete;
  LoadLink& operator=(const LoadLink&) = delete;

  // Starts a connect to 127.0.0.1:port from source (host order, port 0),
  // with TCP_NODELAY. *done tells whether it completed at once; else it
  // completes through write readiness (then call FinishConnect). seed
  // starts the sending direction. Returns 0 or the system error.
  int Connect(std::uint32_t source, std::uint16_t port, std::uint8_t seed,
              bool* done);
  // The connect's outcome once the socket is writable: 0 or the error.
  int FinishConnect();

  // Frames one message and queues it scrambled (the seed byte first on the
  // first send), then sends what the socket takes. Returns 0 or the system
  // error; what the socket did not take stays queued (see wants_write).
  int Send(std::uint32_t type, const std::uint8_t* payload, std::size_t size);
  // Sends what is queued. Returns 0 or the system error.
  int Flush();
  // Bytes are waiting for write readiness.
  bool wants_write() const { return out_head_ < out_.size(); }

  // Reads what the socket holds (at most a few reads) and hands every
  // complete message to receiver, in order. scratch is a buffer shared by
  // all links. Returns the bytes read (0 when none were waiting), or -1
  // when the link ended: *error is 0 for an orderly close, else the system
  // error, or kFailed for bad framing.
  long Read(std::vector<std::uint8_t>* scratch,
            wire::MessageReceiver& receiver, int* error);

  void Close() { socket_.Close(); }
  int fd() const { return socket_.fd(); }
  bool open() const { return socket_.valid(); }

 private:
  platform::Socket socket_;
  std::uint8_t seed_ = 0;
  net::LinkScrambler scrambler_;
  net::LinkDescrambler descrambler_;
  std::vector<std::uint8_t> frame_;
  std::vector<std::uint8_t> out_;  // scrambled, not yet sent
  std::size_t out_head_ = 0;
  std::vector<std::uint8_t> carry_;  // received, not yet a whole message
  std::size_t carry_plain_ = 0;      // how much of carry_ is descrambled
};

}  // namespace zanth::bench
