// Process-level services.
#include "platform/process.h"

#include <fcntl.h>
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

int quit_pipe[2] = {-1, -1};
std::atomic<bool> quit_requested{false};

void OnQuitSignal(int) {
  quit_requested.store(true);
  if (quit_pipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = ::write(quit_pipe[1], &byte, 1);
    (void)ignored;
  }
}

}  // namespace

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

int InstallQuitSignals() {
  if (quit_pipe[0] < 0) {
    if (::pipe2(quit_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  }
  struct sigaction action{};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return quit_pipe[0];
}

bool QuitRequested() { return quit_requested.load(); }

void RequestQuit() { OnQuitSignal(0); }

void QuitOnHangup() {
  struct sigaction action{};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGHUP, &action, nullptr);
}

void SuspendProcess() { ::raise(SIGTSTP); }

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

}  // namespace zanth::platform
