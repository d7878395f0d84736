// TCP sockets and the epoll poller.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zanth::platform {
namespace {

// Connections the system completes before they are accepted. A burst of
// visitors (a thousand signing on at once) is accepted in the next pass;
// a connect beyond the backlog would wait a second or more for a
// retransmitted SYN.
constexpr int kListenBacklog = 128;

int SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

int SetOption(int fd, int level, int name, const void* value, socklen_t size) {
  return ::setsockopt(fd, level, name, value, size) == 0 ? 0 : errno;
}

int SetInt(int fd, int level, int name, int value) {
  return SetOption(fd, level, name, &value, sizeof value);
}

std::uint32_t ToEpoll(std::uint32_t interest) {
  std::uint32_t events = 0;
  if (interest & kReadable) events |= EPOLLIN | EPOLLRDHUP;
  if (interest & kWritable) events |= EPOLLOUT;
  return events;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool IsWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool ParseIPv4(const std::string& text, std::uint32_t* address) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *address = ntohl(a.s_addr);
  return true;
}

std::string FormatIPv4(std::uint32_t address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", (address >> 24) & 255u,
                (address >> 16) & 255u, (address >> 8) & 255u, address & 255u);
  return buffer;
}

bool CanonicalAddress(const std::string& text, std::string* out) {
  std::uint32_t v4 = 0;
  if (ParseIPv4(text, &v4)) {
    *out = FormatIPv4(v4);
    return true;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    std::uint32_t mapped = 0;
    std::memcpy(&mapped, v6.s6_addr + 12, sizeof mapped);
    *out = FormatIPv4(ntohl(mapped));
    return true;
  }
  char buffer[INET6_ADDRSTRLEN];
  if (::inet_ntop(AF_INET6, &v6, buffer, sizeof buffer) == nullptr) return false;
  *out = buffer;
  return true;
}

int ResolveIPv4(const std::string& host, std::uint32_t* address) {
  if (ParseIPv4(host, address)) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return -1;
  }
  sockaddr_in sin{};
  std::memcpy(&sin, result->ai_addr, sizeof sin);
  *address = ntohl(sin.sin_addr.s_addr);
  ::freeaddrinfo(result);
  return 0;
}

std::uint16_t ServicePort(const char* service, const char* protocol,
                          std::uint16_t fallback) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(service, protocol, &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr) {
    return ntohs(static_cast<std::uint16_t>(found->s_port));
  }
  return fallback;
}

std::uint32_t ChooseHostAddress(const std::vector<InterfaceAddress>& interfaces) {
  constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1
  // The host name is no guide: many systems map it to a loopback address.
  const InterfaceAddress* link_local = nullptr;
  for (const InterfaceAddress& entry : interfaces) {
    if (!entry.up || entry.loopback || (entry.address >> 24) == 127 || entry.address == 0) {
      continue;
    }
    if ((entry.address >> 16) != 0xA9FE) return entry.address;
    if (link_local == nullptr) link_local = &entry;
  }
  return link_local != nullptr ? link_local->address : kLoopback;
}

std::vector<InterfaceAddress> InterfaceAddresses() {
  std::vector<InterfaceAddress> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in sin{};
    std::memcpy(&sin, entry->ifa_addr, sizeof sin);
    InterfaceAddress address;
    address.address = ntohl(sin.sin_addr.s_addr);
    address.up = (entry->ifa_flags & IFF_UP) != 0;
    address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    found.push_back(address);
  }
  ::freeifaddrs(list);
  return found;
}

std::string FirstHostAddress() { return FormatIPv4(ChooseHostAddress(InterfaceAddresses())); }

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Listen(std::uint32_t address, std::uint16_t port, Socket* out) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return errno;
  // No linger time: accepted connections inherit the listener's options.
  int rc = SetInt(s.fd(), SOL_SOCKET, SO_REUSEADDR, 1);
  if (rc != 0) return rc;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return errno;
  if (::listen(s.fd(), kListenBacklog) != 0) return errno;
  if ((rc = SetNonBlocking(s.fd())) != 0) return rc;
  *out = std::move(s);
  return 0;
}

int Accept(const Socket& listener, Socket* out, std::string* peer) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  int fd;
  do {
    fd = ::accept4(listener.fd(), reinterpret_cast<sockaddr*>(&storage), &size,
                   SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == EWOULDBLOCK ? EAGAIN : errno;
  Socket s(fd);
  SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (peer != nullptr) {
    // From the accept itself: no call to ask for it.
    sockaddr_in sin{};
    std::memcpy(&sin, &storage, sizeof sin);
    *peer = storage.ss_family == AF_INET ? FormatIPv4(ntohl(sin.sin_addr.s_addr)) : "";
  }
  *out = std::move(s);
  return 0;
}

int ConnectNonBlocking(std::uint32_t address, std::uint16_t port,
                       std::uint32_t local_address, Socket* out,
                       bool* in_progress) {
  *in_progress = false;
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return errno;
  SetInt(s.fd(), IPPROTO_TCP, TCP_NODELAY, 1);  // a failure is harmless
  if (local_address != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(local_address);
    if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      return errno;
    }
  }
  if (int rc = SetNonBlocking(s.fd()); rc != 0) return rc;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(address);
  if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    if (errno != EINPROGRESS) return errno;
    *in_progress = true;
  }
  *out = std::move(s);
  return 0;
}

void StopLingering(int fd) {
  linger l{};
  l.l_onoff = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int PendingError(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

long Receive(int fd, void* buffer, std::size_t count, int* error) {
  ssize_t n = ::recv(fd, buffer, count, 0);
  if (n < 0) *error = errno;
  return n;
}

long Send(int fd, const void* buffer, std::size_t count, int* error) {
  ssize_t n = ::send(fd, buffer, count, MSG_NOSIGNAL);
  if (n < 0) *error = errno;
  return n;
}

long SendSlices(int fd, const IoSlice* slices, std::size_t count, bool more, int* error) {
  iovec vectors[kMaxIoSlices];
  if (count > kMaxIoSlices) count = kMaxIoSlices;
  for (std::size_t i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<void*>(slices[i].data);
    vectors[i].iov_len = slices[i].size;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  if (n < 0) *error = errno;
  return n;
}

long ReceiveTwo(int fd, void* first, std::size_t first_size, void* second,
                std::size_t second_size, int* error) {
  iovec vectors[2] = {{first, first_size}, {second, second_size}};
  ssize_t n = ::readv(fd, vectors, 2);
  if (n < 0) *error = errno;
  return n;
}

long SendFile(int fd, int file_fd, std::uint64_t* offset, std::size_t count, int* error) {
  off_t at = static_cast<off_t>(*offset);
  ssize_t n = ::sendfile(fd, file_fd, &at, count);
  if (n < 0) {
    *error = errno;
    return n;
  }
  *offset = static_cast<std::uint64_t>(at);
  return n;
}

std::string PeerAddress(int fd) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0 ||
      storage.ss_family != AF_INET) {
    return "";
  }
  sockaddr_in sin{};
  std::memcpy(&sin, &storage, sizeof sin);
  return FormatIPv4(ntohl(sin.sin_addr.s_addr));
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in sin{};
  socklen_t size = sizeof sin;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &size) != 0) return 0;
  return ntohs(sin.sin_port);
}

SpareDescriptor::~SpareDescriptor() { Release(); }

void SpareDescriptor::Open() {
  if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void SpareDescriptor::Release() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Poller::Poller() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

Poller::~Poller() {
  if (fd_ >= 0) ::close(fd_);
}

int Poller::Add(int fd, std::uint32_t interest, void* token) {
  epoll_event event{};
  event.events = ToEpoll(interest);
  event.data.ptr = token;
  return ::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

int Poller::Modify(int fd, std::uint32_t interest, void* token) {
  epoll_event event{};
  event.events = ToEpoll(interest);
  event.data.ptr = token;
  return ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &event) == 0 ? 0 : errno;
}

int Poller::Remove(int fd) {
  return ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr) == 0 ? 0 : errno;
}

int Poller::Wait(int timeout_ms, std::vector<Event>* events, int* error) {
  epoll_event raw[256];
  int n = ::epoll_wait(fd_, raw, 256, timeout_ms);
  events->clear();
  if (n < 0) {
    *error = errno;
    return -1;
  }
  for (int i = 0; i < n; ++i) {
    std::uint32_t flags = 0;
    if (raw[i].events & EPOLLIN) flags |= kReadable;
    if (raw[i].events & EPOLLOUT) flags |= kWritable;
    if (raw[i].events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) flags |= kHangup;
    events->push_back(Event{raw[i].data.ptr, flags});
  }
  return n;
}

}  // namespace zanth::platform
