// The load generator's non-blocking chat link.
#include "bench/load_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/result.h"

namespace zanth::bench {
namespace {

constexpr std::size_t kReadChunk = 65536;
// A link that keeps its socket full is read again in a later turn of the
// loop, so that one busy link cannot hold up the others.
constexpr int kMaxReadsPerCall = 4;

}  // namespace

int LoadLink::Connect(std::uint32_t source, std::uint16_t port,
                      std::uint8_t seed, bool* done) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  socket_ = platform::Socket(fd);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(source);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return errno;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  seed_ = seed;
  *done = ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) ==
          0;
  if (!*done && errno != EINPROGRESS) return errno;
  return 0;
}

int LoadLink::FinishConnect() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    return errno;
  return error;
}

int LoadLink::Send(std::uint32_t type, const std::uint8_t* payload,
                   std::size_t size) {
  wire::FrameMessage(wire::kChatMagic, type, payload, size, false,
                         &frame_);
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
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
  return Flush();
}

int LoadLink::Flush() {
  while (out_head_ < out_.size()) {
    ssize_t n = ::send(fd(), out_.data() + out_head_, out_.size() - out_head_,
                       MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      return errno;
    }
    out_head_ += static_cast<std::size_t>(n);
  }
  if (out_head_ == out_.size()) {
    out_.clear();
    out_head_ = 0;
  }
  return 0;
}

long LoadLink::Read(std::vector<std::uint8_t>* scratch,
                    wire::MessageReceiver& receiver, int* error) {
  long total = 0;
  for (int round = 0; round < kMaxReadsPerCall; ++round) {
    // The unfinished message goes in front of the new bytes, so that the
    // parser sees one contiguous buffer.
    std::size_t carried = carry_.size();
    if (scratch->size() < carried + kReadChunk)
      scratch->resize(carried + kReadChunk);
    std::uint8_t* data = scratch->data();
    std::memcpy(data, carry_.data(), carried);
    ssize_t n = ::recv(fd(), data + carried, kReadChunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return total;
    if (n <= 0) {
      *error = n == 0 ? 0 : errno;
      return -1;
    }
    total += n;
    std::size_t used = carried + static_cast<std::size_t>(n);
    if (!descrambler_.started()) {
      // The server's first byte is the seed of its direction.
      descrambler_.Start(data[carried]);
      std::memmove(data + carried, data + carried + 1,
                   static_cast<std::size_t>(n) - 1);
      --used;
    }
    std::size_t plain = carry_plain_;
    while (used - plain >= net::kBlockSize) {
      descrambler_.DescrambleBlock(data + plain);
      plain += net::kBlockSize;
    }
    wire::ParseOutcome outcome =
        wire::ParseMessages(data, plain, wire::kChatMagic, receiver);
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
