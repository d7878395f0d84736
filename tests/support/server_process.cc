// Starts the real zanthd for loopback tests.
#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace zanth::testing {

std::uint16_t PickFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t size = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &size);
  close(fd);
  return ntohs(sin.sin_port);
}

std::uint16_t PickPortBelowEphemeralRange() {
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low;
  const int first = 20000;
  if (low - first < 1000) return PickFreePort();
  std::minstd_rand random(static_cast<unsigned>(getpid()) ^
                          static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto port = static_cast<std::uint16_t>(first + static_cast<int>(random() % static_cast<unsigned>(low - first)));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    close(fd);
    if (free) return port;
  }
  return PickFreePort();
}

int ConnectLoopback(std::uint16_t port, const std::string& from) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  // Bounds the connect (and later blocking calls) of a test socket.
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

ServerProcess::ServerProcess(const std::string& data_dir)
    : data_dir_(data_dir),
      chat_port_(PickFreePort()),
      http_port_(PickFreePort()),
      https_port_(PickFreePort()) {
  PickDistinctPorts();
}

void ServerProcess::PickDistinctPorts() {
  while (http_port_ == chat_port_) http_port_ = PickFreePort();
  while (https_port_ == chat_port_ || https_port_ == http_port_) https_port_ = PickFreePort();
}

std::string ServerProcess::data_dir() const {
  if (data_dir_.empty()) return home_.path() + "/Documents/My Zanth/";
  return data_dir_.back() == '/' ? data_dir_ : data_dir_ + "/";
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitExit(pid_, std::chrono::seconds(5));
  }
}

void ServerProcess::WriteConfig(const std::string& extra_xml) {
  WriteConfigWith([this, extra_xml] {
    std::ostringstream out;
    out << "<?xml version=\"1.0\"?>\n<zanthd>\n"
        << "  <sitename address=\"127.0.0.1\" port=\"" << chat_port_ << "\" httpport=\""
        << http_port_ << "\">Test Site</sitename>\n"
        << "  <baseurl src=\"" << data_dir() << "media/\">http://127.0.0.1:" << http_port_
        << "/</baseurl>\n"
        << extra_xml << "</zanthd>\n";
    return out.str();
  });
}

void ServerProcess::WriteConfigWith(std::function<std::string()> make) {
  make_config_ = std::move(make);
  // The data directory and every folder above it.
  std::string media = data_dir() + "media";
  for (std::size_t slash = media.find('/', 1); slash != std::string::npos;
       slash = media.find('/', slash + 1)) {
    mkdir(media.substr(0, slash).c_str(), 0755);
  }
  mkdir(media.c_str(), 0755);
  std::ofstream(data_dir() + "zanth.conf") << make_config_();
}

pid_t ServerProcess::Spawn(const std::vector<std::string>& args, const std::string& output) {
  std::string out = home_.path() + "/" + output + ".out";
  std::string err = home_.path() + "/" + output + ".err";
  pid_t pid = fork();
  if (pid == 0) {
    setenv("HOME", home_.path().c_str(), 1);
    unsetenv("XDG_DOCUMENTS_DIR");
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(126);
    std::vector<std::string> all = {ZANTHD_BINARY, "--headless"};
    if (!data_dir_.empty()) all.insert(all.end(), {"--data-dir", data_dir_});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int ServerProcess::WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
  // A port picked as free can be taken by another test's connection before
  // the server binds it; with a configuration of ours, pick again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int failures = CountInLog("Unable to establish listening socket");
    int established = CountInLog("Listening socket established");
    pid_ = Spawn(args, "server");
    if (pid_ <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (CountInLog("Listening socket established") > established) return true;
      if (CountInLog("Unable to establish listening socket") > failures) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    WaitExit(pid_, std::chrono::seconds(10));
    pid_ = -1;
    if (!make_config_) return false;
    chat_port_ = PickFreePort();
    http_port_ = PickFreePort();
    https_port_ = PickFreePort();
    PickDistinctPorts();
    WriteConfigWith(make_config_);
  }
  return false;
}

int ServerProcess::RunSecondInstance(std::chrono::milliseconds timeout,
                                     const std::vector<std::string>& args,
                                     std::string* standard_error) {
  std::string name = "second" + std::to_string(++second_runs_);
  pid_t pid = Spawn(args, name);
  int status = WaitExit(pid, timeout);
  if (status < 0) {
    kill(pid, SIGKILL);
    WaitExit(pid, std::chrono::seconds(5));
  }
  if (standard_error != nullptr) *standard_error = ReadFileText(home() + "/" + name + ".err");
  return status;
}

int ServerProcess::Stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = WaitExit(pid_, timeout);
  if (status >= 0) pid_ = -1;
  return status;
}

void ServerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  WaitExit(pid_, std::chrono::seconds(10));
  pid_ = -1;
}

void ServerProcess::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

int ServerProcess::CountInLog(const std::string& text) const {
  std::string log = Log();
  int count = 0;
  for (std::size_t pos = log.find(text); pos != std::string::npos;
       pos = log.find(text, pos + text.size())) {
    ++count;
  }
  return count;
}

bool ServerProcess::WaitForLog(const std::string& text, int count,
                               std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    if (CountInLog(text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace zanth::testing
