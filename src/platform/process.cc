// Process-level services.
#include "platform/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace zanth::platform {
namespace {

// One pipe wakes the main loop for every signal; the flags say why.
int wake_pipe[2] = {-1, -1};
std::atomic<bool> quit_requested{false};
std::atomic<bool> hangup_received{false};

void WakeMainLoop() {
  // The interrupted code may be about to read errno.
  int saved_errno = errno;
  if (wake_pipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = ::write(wake_pipe[1], &byte, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

void OnQuitSignal(int) {
  quit_requested.store(true);
  WakeMainLoop();
}

void OnHangupSignal(int) {
  // The byte goes first: TakeHangup() takes the flag, then empties the
  // pipe, so a flag set last can outlive a byte, never the other way round.
  WakeMainLoop();
  hangup_received.store(true);
}

void SetHandler(int signal_number, void (*handler)(int)) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

std::string ExecutablePath() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return "";
  return std::string(path, static_cast<std::size_t>(n));
}

std::string DocumentsFolder() {
  const char* xdg = std::getenv("XDG_DOCUMENTS_DIR");
  if (xdg != nullptr && xdg[0] == '/') {
    std::string folder = xdg;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return "";
  std::string folder = home;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/Documents";
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire(const std::string& key) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract name: a leading NUL, then the key; long keys are hashed so that
  // the name always fits.
  std::string name = "zanthd:" + key;
  if (name.size() > sizeof address.sun_path - 2) {
    name = "zanthd#" + std::to_string(std::hash<std::string>{}(key));
  }
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell; do not refuse to run
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
    int error = errno;
    ::close(fd);
    return error != EADDRINUSE;
  }
  fd_ = fd;
  return true;
}

int InstallSignalHandlers() {
  if (wake_pipe[0] < 0) {
    if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  }
  SetHandler(SIGINT, OnQuitSignal);
  SetHandler(SIGTERM, OnQuitSignal);
  SetHandler(SIGHUP, OnHangupSignal);
  ::signal(SIGPIPE, SIG_IGN);
  return wake_pipe[0];
}

bool QuitRequested() { return quit_requested.load(); }

void RequestQuit() { OnQuitSignal(0); }

bool TakeHangup() {
  // A byte that no flag explains would keep the loop's wait from ever
  // sleeping; the order here and in the handler rules that out, even for a
  // handler running on another thread meanwhile.
  if (!hangup_received.exchange(false)) return false;
  char bytes[64];
  while (wake_pipe[0] >= 0 && ::read(wake_pipe[0], bytes, sizeof bytes) > 0) {
  }
  return true;
}

void QuitOnHangup() { SetHandler(SIGHUP, OnQuitSignal); }

void SuspendProcess() { ::raise(SIGTSTP); }

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool HungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void ReleaseFreeMemory() { (void)malloc_trim(0); }

void KeepFreedMemory() { (void)mallopt(M_TRIM_THRESHOLD, 64 << 20); }

void* MapPages(std::size_t size) {
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void UnmapPages(void* pages, std::size_t size) {
  if (pages != nullptr) (void)::munmap(pages, size);
}

}  // namespace zanth::platform
