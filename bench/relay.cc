// relay: the upper limit the fan-out benchmark compares zanthd with. A
// minimal one-thread epoll server that speaks just enough of the chat
// protocol for the benchmark's clients: it takes each client's seed byte and
// ident (answering "UAre" and "SvCp"), groups clients by the room their ident
// asks for, and sends every talk line to everyone in the speaker's room,
// speaker included, framed as zanthd frames it and scrambled per connection.
// No rooms files, users, dispatch table, logging or flow rules.
//
// usage: relay [--port P] [--pass-limit BYTES] [--buffer BYTES]
// Prints "ready PORT" on its standard output once it listens on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/scramble.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::bench {
namespace {

constexpr std::uint32_t kIdent = wire::TypeCode("Idn2");
constexpr std::uint32_t kTalk = wire::TypeCode("Talk");
constexpr std::size_t kIdentRoomOffset = 104;
constexpr std::uint16_t kGateRoom = 100;
constexpr std::size_t kReadChunk = 65536;
constexpr int kMaxReadsPerWake = 4;
constexpr int kMaxEvents = 1024;

struct Options {
  std::uint16_t port = 0;
  std::size_t pass_limit = 0;  // bytes sent per connection per pass; 0 = all
  int buffer = 0;              // SO_SNDBUF/SO_RCVBUF; 0 = the system's
};

struct Conn {
  int fd = -1;
  std::uint32_t id = 0;
  std::uint16_t room = 0;
  bool signed_on = false;
  bool seed_read = false;
  bool writing = false;  // EPOLLOUT is on
  bool dirty = false;    // in the flush list
  bool dead = false;
  net::LinkDescrambler rx;
  net::LinkScrambler tx;
  std::vector<std::uint8_t> carry;  // received, not yet a whole message
  std::size_t carry_plain = 0;      // how much of carry is descrambled
  std::vector<std::uint8_t> out;    // scrambled, not yet sent
  std::size_t out_head = 0;
};

class Relay : public wire::MessageReceiver {
 public:
  explicit Relay(const Options& options) : options_(options) {}
  ~Relay() override {
    for (auto& [fd, conn] : conns_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
    if (epoll_ >= 0) ::close(epoll_);
  }

  bool Listen();
  void Run();

  bool OnMessage(std::uint32_t type, const std::uint8_t* payload,
                 std::size_t size, bool /*compressed*/) override;

 private:
  void Accept();
  void Read(Conn& c);
  void Queue(Conn& c, const std::vector<std::uint8_t>& frame);
  void Flush();
  void Drop(Conn& c);
  void SetWriting(Conn& c, bool on);

  Options options_;
  int epoll_ = -1;
  int listener_ = -1;
  std::uint32_t next_id_ = 1;
  std::map<int, std::unique_ptr<Conn>> conns_;
  std::map<std::uint16_t, std::vector<Conn*>> rooms_;
  std::vector<Conn*> dirty_;
  std::vector<int> dead_;  // descriptors of dropped connections, to close
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint8_t> frame_;
  std::vector<std::uint8_t> payload_;
  Conn* current_ = nullptr;  // the connection being parsed
};

bool Relay::Listen() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (epoll_ < 0 || listener_ < 0) return false;
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (options_.buffer > 0) {
    // Accepted sockets inherit these, as they do in zanthd.
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &options_.buffer,
                 sizeof options_.buffer);
    ::setsockopt(listener_, SOL_SOCKET, SO_SNDBUF, &options_.buffer,
                 sizeof options_.buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address),
             sizeof address) != 0 ||
      ::listen(listener_, 128) != 0) {
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener_;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event) != 0) return false;
  std::printf("ready %u\n", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);
  return true;
}

void Relay::Accept() {
  for (int i = 0; i < 256; ++i) {
    int fd = ::accept4(listener_, nullptr, nullptr,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_unique<Conn>();
    conn->fd = fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
      ::close(fd);
      continue;
    }
    conns_[fd] = std::move(conn);
  }
}

void Relay::SetWriting(Conn& c, bool on) {
  if (c.writing == on) return;
  c.writing = on;
  epoll_event event{};
  event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  event.data.fd = c.fd;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
}

void Relay::Drop(Conn& c) {
  if (c.dead) return;
  c.dead = true;
  if (c.signed_on) {
    std::vector<Conn*>& members = rooms_[c.room];
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i] == &c) {
        members[i] = members.back();
        members.pop_back();
        break;
      }
    }
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
  dead_.push_back(c.fd);
}

void Relay::Queue(Conn& c, const std::vector<std::uint8_t>& frame) {
  if (c.dead) return;
  if (c.out_head == c.out.size()) {
    c.out.clear();
    c.out_head = 0;
  }
  if (!c.tx.started()) {
    auto seed = static_cast<std::uint8_t>(c.id % 255);
    c.tx.Start(seed);
    c.out.push_back(seed);
  }
  std::size_t start = c.out.size();
  c.out.insert(c.out.end(), frame.begin(), frame.end());
  c.tx.ScrambleBlocksTo(c.out.data() + start, c.out.data() + start,
                        frame.size() / net::kBlockSize);
  if (!c.dirty) {
    c.dirty = true;
    dirty_.push_back(&c);
  }
}

bool Relay::OnMessage(std::uint32_t type, const std::uint8_t* payload,
                      std::size_t size, bool /*compressed*/) {
  Conn& c = *current_;
  if (type == kIdent && !c.signed_on) {
    std::uint16_t room = 0;
    if (size >= kIdentRoomOffset + 2)
      room = wire::LoadU16(payload + kIdentRoomOffset);
    c.room = room == 0 ? kGateRoom : room;
    c.id = next_id_++;
    c.signed_on = true;
    rooms_[c.room].push_back(&c);
    std::uint8_t id[4];
    wire::StoreU32(id, c.id);
    wire::FrameMessage(wire::kChatMagic, wire::TypeCode("UAre"),
                           id, sizeof id, false, &frame_);
    Queue(c, frame_);
    const std::uint8_t caps[2] = {0, 1};
    wire::FrameMessage(wire::kChatMagic, wire::TypeCode("SvCp"),
                           caps, sizeof caps, false, &frame_);
    Queue(c, frame_);
    return true;
  }
  if (type != kTalk || !c.signed_on || size < 1) return true;
  // The talk frame as zanthd builds it: u32 speaker, then the ptext.
  std::size_t text = payload[0];
  if (text + 1 > size) text = size - 1;
  payload_.resize(5 + text);
  wire::StoreU32(payload_.data(), c.id);
  payload_[4] = static_cast<std::uint8_t>(text);
  std::memcpy(payload_.data() + 5, payload + 1, text);
  wire::FrameMessage(wire::kChatMagic, kTalk, payload_.data(),
                         payload_.size(), false, &frame_);
  for (Conn* member : rooms_[c.room]) Queue(*member, frame_);
  return true;
}

void Relay::Read(Conn& c) {
  for (int round = 0; round < kMaxReadsPerWake && !c.dead; ++round) {
    std::size_t carried = c.carry.size();
    if (scratch_.size() < carried + kReadChunk)
      scratch_.resize(carried + kReadChunk);
    std::memcpy(scratch_.data(), c.carry.data(), carried);
    ssize_t n = ::recv(c.fd, scratch_.data() + carried, kReadChunk, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      Drop(c);
      return;
    }
    if (n < 0) return;
    std::uint8_t* data = scratch_.data();
    std::size_t used = carried + static_cast<std::size_t>(n);
    std::size_t plain = c.carry_plain;
    if (!c.seed_read) {
      c.rx.Start(data[carried]);
      std::memmove(data + carried, data + carried + 1,
                   static_cast<std::size_t>(n) - 1);
      --used;
      c.seed_read = true;
    }
    std::size_t blocks = (used - plain) / net::kBlockSize;
    c.rx.DescrambleBlocks(data + plain, blocks);
    plain += blocks * net::kBlockSize;
    current_ = &c;
    wire::ParseOutcome outcome =
        wire::ParseMessages(data, plain, wire::kChatMagic, *this);
    if (outcome.error != wire::ParseError::kNone) {
      Drop(c);
      return;
    }
    c.carry.assign(data + outcome.consumed, data + used);
    c.carry_plain = plain - outcome.consumed;
    if (static_cast<std::size_t>(n) < kReadChunk) return;
  }
}

void Relay::Flush() {
  for (Conn* c : dirty_) {
    c->dirty = false;
    if (c->dead) continue;
    std::size_t left = c->out.size() - c->out_head;
    std::size_t count = left;
    if (options_.pass_limit > 0 && count > options_.pass_limit)
      count = options_.pass_limit;
    ssize_t n = ::send(c->fd, c->out.data() + c->out_head, count, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      Drop(*c);
      continue;
    }
    if (n > 0) c->out_head += static_cast<std::size_t>(n);
    if (c->out_head == c->out.size()) {
      c->out.clear();
      c->out_head = 0;
    } else if (c->out_head >= kReadChunk) {
      // A reader that never quite catches up must not grow the buffer for
      // ever.
      c->out.erase(c->out.begin(),
                   c->out.begin() + static_cast<std::ptrdiff_t>(c->out_head));
      c->out_head = 0;
    }
    SetWriting(*c, c->out_head < c->out.size());
  }
  dirty_.clear();
}

void Relay::Run() {
  std::vector<epoll_event> events(kMaxEvents);
  for (;;) {
    int n = ::epoll_wait(epoll_, events.data(), kMaxEvents, 1000);
    if (n < 0 && errno != EINTR) return;
    for (int i = 0; i < n; ++i) {
      const epoll_event& event = events[static_cast<std::size_t>(i)];
      if (event.data.fd == listener_) {
        Accept();
        continue;
      }
      auto it = conns_.find(event.data.fd);
      if (it == conns_.end()) continue;
      Conn& c = *it->second;
      if (event.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) Read(c);
      if ((event.events & EPOLLOUT) && !c.dead && !c.dirty) {
        c.dirty = true;
        dirty_.push_back(&c);
      }
    }
    Flush();
    // Freed only now: the flush list may still point at them.
    for (int fd : dead_) {
      ::close(fd);
      conns_.erase(fd);
    }
    dead_.clear();
  }
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view arg = argv[i];
    long value = std::strtol(argv[i + 1], nullptr, 10);
    if (arg == "--port" && value >= 0 && value <= 0xFFFF) {
      o->port = static_cast<std::uint16_t>(value);
    } else if (arg == "--pass-limit" && value >= 0) {
      o->pass_limit = static_cast<std::size_t>(value);
    } else if (arg == "--buffer" && value >= 0 && value <= (1 << 24)) {
      o->buffer = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(
        "usage: relay [--port P] [--pass-limit BYTES] [--buffer BYTES]\n",
        stderr);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  Relay relay(o);
  if (!relay.Listen()) {
    std::fprintf(stderr, "relay: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  relay.Run();
  return 0;
}

}  // namespace
}  // namespace zanth::bench

int main(int argc, char** argv) { return zanth::bench::Main(argc, argv); }
