// TCP sockets and the readiness poller (epoll) behind the connection
// manager. Functions return 0 or the system error unless they say otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zanth::platform {

// An owned socket descriptor, closed by the destructor.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : fd_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close();

 private:
  int fd_ = -1;
};

// True for the errors that only mean "nothing to do now".
bool IsWouldBlock(int error);

// Parses dotted decimal "a.b.c.d" into a host-order address.
bool ParseIPv4(const std::string& text, std::uint32_t* address);
// "%d.%d.%d.%d" of a host-order address.
std::string FormatIPv4(std::uint32_t address);
// The canonical text of an IPv4 or IPv6 address ("10.0.0.1", "2001:db8::1";
// an IPv4 address mapped into IPv6 gives the IPv4 form). false when text
// is neither.
bool CanonicalAddress(const std::string& text, std::string* out);
// Resolves a host name (or dotted decimal) to its first IPv4 address.
// Returns 0 or kFailed-like -1 when nothing was found.
int ResolveIPv4(const std::string& host, std::uint32_t* address);

// The port of a service from the system's service table, or fallback.
std::uint16_t ServicePort(const char* service, const char* protocol,
                          std::uint16_t fallback);

// One IPv4 address of a network interface, as the system lists them.
struct InterfaceAddress {
  std::uint32_t address = 0;  // host order
  bool up = false;
  bool loopback = false;  // the interface is a loopback one
};

// The address that visitors on other machines can reach this host at: the
// first address of an interface that is up and not a loopback, one outside
// 169.254/16 (self-assigned, not routed) before one inside it; failing
// that, 127.0.0.1. Addresses in 127/8 count as loopback whatever the
// interface says.
std::uint32_t ChooseHostAddress(const std::vector<InterfaceAddress>& interfaces);

// The IPv4 addresses of this machine's interfaces, in the system's order.
std::vector<InterfaceAddress> InterfaceAddresses();

// ChooseHostAddress() over this machine's interfaces, as "%d.%d.%d.%d".
std::string FirstHostAddress();

// Raises the soft limit of open descriptors to the hard limit.
void RaiseDescriptorLimit();

// A listening socket on address (host order; 0 for all interfaces) at
// port: address reuse, a backlog of 128 connections, non-blocking. The
// system sizes the socket buffers (and lets them grow with the traffic).
int Listen(std::uint32_t address, std::uint16_t port, Socket* out);

// Accepts one connection: non-blocking, no delay. Returns 0, EAGAIN when
// none is waiting, or the error. No linger time is set on connections: with
// one, a close would block the caller until the peer had acknowledged every
// byte still in the socket; without it the system delivers them all the
// same, after the close has returned.
// peer, when given, receives the peer's address as PeerAddress gives it.
int Accept(const Socket& listener, Socket* out, std::string* peer = nullptr);

// Starts a non-blocking connect to address:port, bound first to
// local_address (port 0) when it is not 0. *in_progress tells whether the
// connect completes later through write readiness.
int ConnectNonBlocking(std::uint32_t address, std::uint16_t port,
                       std::uint32_t local_address, Socket* out,
                       bool* in_progress);

// Lets close() return at once; the system finishes the connection in the
// background. Used when the process ends with connections still open.
void StopLingering(int fd);

// The pending error of a socket (after a non-blocking connect).
int PendingError(int fd);

// One receive or send. Returns the count (0 = orderly close for a receive),
// or -1 with the error in *error.
long Receive(int fd, void* buffer, std::size_t count, int* error);
long Send(int fd, const void* buffer, std::size_t count, int* error);

// A piece of memory for the gathering send and the scattering receive.
struct IoSlice {
  const void* data;
  std::size_t size;
};
inline constexpr std::size_t kMaxIoSlices = 64;

// One send of the slices in order (at most kMaxIoSlices), as one stream of
// bytes. more: further bytes follow at once, so the system may hold these
// back to fill a segment. Returns the count sent or -1 with the error.
long SendSlices(int fd, const IoSlice* slices, std::size_t count, bool more, int* error);
// One receive into first, and what does not fit into second. Returns the
// count received (0 = orderly close) or -1 with the error.
long ReceiveTwo(int fd, void* first, std::size_t first_size, void* second,
                std::size_t second_size, int* error);
// Sends up to count bytes of the open file descriptor file_fd from *offset
// without copying them through the process, advancing *offset. Returns the
// count sent or -1 with the error.
long SendFile(int fd, int file_fd, std::uint64_t* offset, std::size_t count, int* error);

// The peer's IPv4 address as "%d.%d.%d.%d", or "" when it is not IPv4.
std::string PeerAddress(int fd);
// The local port a socket is bound to, or 0.
std::uint16_t LocalPort(int fd);

// A descriptor held in reserve so that a listener can still accept (and at
// once close) a connection when the process has run out of descriptors.
class SpareDescriptor {
 public:
  SpareDescriptor() { Open(); }
  ~SpareDescriptor();
  void Open();
  void Release();

 private:
  int fd_ = -1;
};

// Readiness flags.
inline constexpr std::uint32_t kReadable = 1;
inline constexpr std::uint32_t kWritable = 2;
inline constexpr std::uint32_t kHangup = 4;  // error or hang-up

// Level-triggered readiness poller.
class Poller {
 public:
  struct Event {
    void* token;
    std::uint32_t flags;
  };

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool valid() const { return fd_ >= 0; }
  // Watches fd for the given interest (kReadable | kWritable, or 0 for only
  // errors); token comes back with its events.
  int Add(int fd, std::uint32_t interest, void* token);
  int Modify(int fd, std::uint32_t interest, void* token);
  int Remove(int fd);
  // Waits up to timeout_ms (0 = do not wait). Returns the number of events
  // stored in *events, or -1 with the error in *error (EINTR included).
  int Wait(int timeout_ms, std::vector<Event>* events, int* error);

 private:
  int fd_ = -1;
};

}  // namespace zanth::platform
