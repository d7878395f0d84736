// The load generator's non-blocking links.
#include "bench/load_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/result.h"

namespace zanth::bench {
namespace {

constexpr std::size_t kReadChunk = 65536;
// A link that keeps its socket full is read again in a later turn of the
// loop, so that one busy link cannot hold up the others.
constexpr int kMaxReadsPerCall = 4;

// The size of a WebSocket frame header whose first two bytes are given.
std::size_t HeaderSize(std::uint8_t second) {
  std::size_t length7 = second & 0x7F;
  return 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + ((second & 0x80) ? 4 : 0);
}

}  // namespace

int LoadLink::Connect(Mode mode, std::uint32_t source, std::uint16_t port, std::uint8_t seed,
                      bool* done, std::string_view path) {
  mode_ = mode;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  socket_ = platform::Socket(fd);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(source);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return errno;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  seed_ = seed;
  if (mode_ == Mode::kWebSocket) {
    std::string request = "GET " + std::string(path) +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    out_.assign(request.begin(), request.end());
    sendable_ = out_.size();
    handshake_done_ = false;
  }
  *done = ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  if (!*done && errno != EINPROGRESS) return errno;
  return 0;
}

int LoadLink::FinishConnect() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int LoadLink::Send(std::uint32_t type, const std::uint8_t* payload, std::size_t size) {
  wire::FrameMessage(wire::kChatMagic, type, payload, size, false, &frame_);
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
    sendable_ = 0;
  }
  std::size_t stream = frame_.size() + (scrambler_.started() ? 0 : 1);
  if (mode_ == Mode::kWebSocket) {
    // A masked binary frame; a mask of zeros leaves the bytes as they are.
    out_.push_back(0x82);
    if (stream < 126) {
      out_.push_back(static_cast<std::uint8_t>(0x80 | stream));
    } else {
      out_.push_back(0x80 | 126);
      out_.push_back(static_cast<std::uint8_t>(stream >> 8));
      out_.push_back(static_cast<std::uint8_t>(stream));
    }
    out_.insert(out_.end(), 4, 0);
  }
  if (!scrambler_.started()) {
    scrambler_.Start(seed_);
    out_.push_back(seed_);
  }
  std::size_t start = out_.size();
  out_.insert(out_.end(), frame_.begin(), frame_.end());
  for (std::size_t i = start; i < out_.size(); i += net::kBlockSize) {
    scrambler_.ScrambleBlock(out_.data() + i);
  }
  if (handshake_done_) sendable_ = out_.size();
  return Flush();
}

int LoadLink::SendRaw(std::string_view bytes) {
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
  }
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  sendable_ = out_.size();
  return Flush();
}

int LoadLink::Flush() {
  while (out_head_ < sendable_) {
    ssize_t n = ::send(fd(), out_.data() + out_head_, sendable_ - out_head_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      return errno;
    }
    out_head_ += static_cast<std::size_t>(n);
  }
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
    sendable_ = 0;
  }
  return 0;
}

long LoadLink::Unframe(std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  if (!handshake_done_) {
    std::size_t keep = answer_.size();
    answer_.insert(answer_.end(), data, data + size);
    std::string_view text(reinterpret_cast<const char*>(answer_.data()), answer_.size());
    std::size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) return 0;
    if (text.substr(0, 12) != "HTTP/1.1 101") return -1;
    at = end + 4 - keep;
    answer_.clear();
    handshake_done_ = true;
    sendable_ = out_.size();  // the messages held behind the handshake
    if (Flush() != 0) return -1;
  }
  std::size_t written = 0;
  while (at < size) {
    if (ws_left_ == 0 && (ws_have_ < 2 || ws_have_ < HeaderSize(ws_header_[1]))) {
      ws_header_[ws_have_++] = data[at++];
      if (ws_have_ < 2 || ws_have_ < HeaderSize(ws_header_[1])) continue;
      std::uint64_t length = ws_header_[1] & 0x7F;
      if (length >= 126) {
        std::size_t bytes = length == 126 ? 2 : 8;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | ws_header_[2 + i];
      }
      ws_skip_ = (ws_header_[0] & 0x0F) >= 0x8;  // control frames are not stream
      ws_left_ = length;
      ws_have_ = 0;
      continue;
    }
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(ws_left_, size - at));
    if (!ws_skip_) {
      std::memmove(data + written, data + at, take);
      written += take;
    }
    at += take;
    ws_left_ -= take;
  }
  return static_cast<long>(written);
}

std::size_t LoadLink::Lines(const std::uint8_t* data, std::size_t size,
                            wire::MessageReceiver& receiver) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') continue;
    std::size_t end = i > start && data[i - 1] == '\r' ? i - 1 : i;
    receiver.OnMessage(kIrcLine, data + start, end - start, false);
    start = i + 1;
  }
  return start;
}

long LoadLink::Read(std::vector<std::uint8_t>* scratch, wire::MessageReceiver& receiver,
                    int* error) {
  long total = 0;
  for (int round = 0; round < kMaxReadsPerCall; ++round) {
    // The unfinished message goes in front of the new bytes, so that the
    // parser sees one contiguous buffer.
    std::size_t carried = carry_.size();
    if (scratch->size() < carried + kReadChunk) scratch->resize(carried + kReadChunk);
    std::uint8_t* data = scratch->data();
    std::memcpy(data, carry_.data(), carried);
    ssize_t n = ::recv(fd(), data + carried, kReadChunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return total;
    if (n <= 0) {
      *error = n == 0 ? 0 : errno;
      return -1;
    }
    total += n;
    std::size_t fresh = static_cast<std::size_t>(n);
    if (mode_ == Mode::kIrc) {
      std::size_t used = carried + fresh;
      std::size_t consumed = Lines(data, used, receiver);
      carry_.assign(data + consumed, data + used);
      if (fresh < kReadChunk) return total;
      continue;
    }
    if (mode_ == Mode::kWebSocket) {
      long stream = Unframe(data + carried, fresh);
      if (stream < 0) {
        *error = kFailed;
        return -1;
      }
      fresh = static_cast<std::size_t>(stream);
    }
    std::size_t used = carried + fresh;
    if (!descrambler_.started() && fresh > 0) {
      // The server's first byte is the seed of its direction.
      descrambler_.Start(data[carried]);
      std::memmove(data + carried, data + carried + 1, fresh - 1);
      --used;
    }
    std::size_t blocks = (used - carry_plain_) / net::kBlockSize;
    descrambler_.DescrambleBlocks(data + carry_plain_, blocks);
    std::size_t plain = carry_plain_ + blocks * net::kBlockSize;
    wire::ParseOutcome outcome = wire::ParseMessages(data, plain, wire::kChatMagic, receiver);
    if (outcome.error != wire::ParseError::kNone) {
      *error = kFailed;
      return -1;
    }
    carry_.assign(data + outcome.consumed, data + used);
    carry_plain_ = plain - outcome.consumed;
    if (static_cast<std::size_t>(n) < kReadChunk) return total;
  }
  return total;
}

}  // namespace zanth::bench
