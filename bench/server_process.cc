// Child-process control and /proc readings for the benchmark.
#include "bench/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace zanth::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool FileContains(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// SIGTERM, then up to timeout for the exit, then SIGKILL; *pid becomes -1.
// The exit status (128 + signal for a signal), or -1 when it was killed.
int StopChild(int* pid, std::chrono::milliseconds timeout) {
  if (*pid <= 0) return -1;
  ::kill(*pid, SIGTERM);
  Clock::time_point deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(*pid, &status, WNOHANG) == *pid) {
      *pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(10ms);
  }
  ::kill(*pid, SIGKILL);
  ::waitpid(*pid, nullptr, 0);
  *pid = -1;
  return -1;
}

long StatusFieldKiB(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0)
      return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

double TimevalSeconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

TempDirectory::TempDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
      "/chat-bench.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDirectory::~TempDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ServerProcess::ServerProcess(std::string binary) : binary_(std::move(binary)) {}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ServerProcess::WriteConfig(const SiteLayout& layout) {
  std::error_code ec;
  std::filesystem::create_directories(data_dir() + "media", ec);
  if (ec) return false;
  std::ofstream out(data_dir() + "zanth.conf", std::ios::trunc);
  out << "<?xml version=\"1.0\"?>\n<zanthd>\n"
      << "  <sitename address=\"127.0.0.1\" port=\"" << chat_port_
      << "\" httpport=\"" << http_port_ << "\">Bench Site</sitename>\n"
      << "  <baseurl src=\"" << data_dir()
      << "media/\">http://127.0.0.1:" << http_port_ << "/</baseurl>\n"
      << "  <room id=\"100\" name=\"gate\" maxocc=\"" << layout.capacity
      << "\" gate=\"yes\" desc=\"gate.rmd\" src=\"gate.rmd\"/>\n"
      << "  <room id=\"101\" name=\"timeout\" timeout=\"yes\" hidden=\"yes\" "
         "staff=\"yes\""
      << " desc=\"timeout.rmd\" src=\"timeout.rmd\"/>\n";
  for (int i = 1; i < layout.rooms; ++i) {
    out << "  <room id=\"" << SiteLayout::RoomId(i) << "\" name=\"room" << i
        << "\" maxocc=\"" << layout.capacity
        << "\" desc=\"gate.rmd\" src=\"gate.rmd\"/>\n";
  }
  out << layout.extra_rooms << "</zanthd>\n";
  return static_cast<bool>(out.flush());
}

int ServerProcess::Spawn() {
  std::string out_path = data_dir() + "server.out";
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child. The benchmark forks only while it has a single thread, so
  // the calls below cannot meet a lock held by another thread.
  if (cpu_ >= 0) (void)PinToCpu(0, cpu_);
  ::setenv("HOME", home_.path().c_str(), 1);
  ::unsetenv("XDG_DOCUMENTS_DIR");
  int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);
  }
  int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::close(null_fd);
  }
  std::string headless = "--headless";
  char* argv[] = {binary_.data(), headless.data(), nullptr};
  ::execv(argv[0], argv);
  ::_exit(127);
}

int ServerProcess::Reap() {
  int status = 0;
  if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ServerProcess::Start(int gate_capacity, std::string* error,
                          const std::string& extra_rooms) {
  SiteLayout layout;
  layout.capacity = gate_capacity;
  layout.extra_rooms = extra_rooms;
  return Start(layout, error);
}

bool ServerProcess::Start(const SiteLayout& layout, std::string* error) {
  if (home_.path().empty()) {
    *error = "cannot make a temporary directory";
    return false;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> port(20000, 31999);
  for (int attempt = 0; attempt < 5; ++attempt) {
    chat_port_ = static_cast<std::uint16_t>(port(random));
    do {
      http_port_ = static_cast<std::uint16_t>(port(random));
    } while (http_port_ == chat_port_);
    std::error_code ignored;
    std::filesystem::remove(log_path(), ignored);
    if (!WriteConfig(layout)) {
      *error = "cannot write the configuration in " + data_dir();
      return false;
    }
    pid_ = Spawn();
    if (pid_ < 0) {
      *error = "cannot start a process";
      return false;
    }
    Clock::time_point deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
      if (FileContains(log_path(), "Listening socket established")) return true;
      if (Reap() >= 0) break;  // stopped at start: try other ports
      std::this_thread::sleep_for(20ms);
    }
    if (pid_ > 0) {
      *error = "zanthd did not start listening within 20 s";
      return false;
    }
  }
  *error = "zanthd stopped at start five times (see " + binary_ + ")";
  return false;
}

int ServerProcess::Stop(std::chrono::milliseconds timeout) {
  return StopChild(&pid_, timeout);
}

RelayProcess::~RelayProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool RelayProcess::Start(const std::string& binary,
                         const std::vector<std::string>& args, int cpu,
                         std::string* error) {
  int fds[2];
  if (::pipe(fds) != 0) {
    *error = "cannot make a pipe";
    return false;
  }
  std::vector<std::string> words;
  words.push_back(binary);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child; the caller forks only while it has a single thread.
    if (cpu >= 0) (void)PinToCpu(0, cpu);
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    *error = "cannot start a process";
    return false;
  }
  // Reads the ready line, waiting at most 10 s in all.
  std::string line;
  Clock::time_point deadline = Clock::now() + 10s;
  while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[128];
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  unsigned port = 0;
  if (std::sscanf(line.c_str(), "ready %u", &port) != 1 || port == 0 ||
      port > 0xFFFF) {
    *error = binary + " did not report that it listens";
    return false;
  }
  port_ = static_cast<std::uint16_t>(port);
  return true;
}

int RelayProcess::Stop(std::chrono::milliseconds timeout) {
  return StopChild(&pid_, timeout);
}

NgircdProcess::~NgircdProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool NgircdProcess::Start(const std::string& binary, const std::string& conf_template, int cpu,
                          std::string* error) {
  std::ifstream in(conf_template);
  std::stringstream text;
  text << in.rdbuf();
  if (!in || text.str().empty()) {
    *error = "cannot read the ngIRCd configuration " + conf_template;
    return false;
  }
  if (::access(binary.c_str(), X_OK) != 0) {
    *error = "no " + binary + " (Debian package ngircd)";
    return false;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> ports(20000, 31999);
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = static_cast<std::uint16_t>(ports(random));
    std::string conf = text.str();
    for (auto [key, value] : {std::pair<std::string, std::string>{"@PORT@", std::to_string(port_)},
                              {"@DIR@", dir_.path()}}) {
      for (std::size_t at = conf.find(key); at != std::string::npos; at = conf.find(key, at)) {
        conf.replace(at, key.size(), value);
      }
    }
    const std::string conf_path = dir_.path() + "/ngircd.conf";
    std::ofstream(conf_path, std::ios::trunc) << conf;
    const std::string out_path = dir_.path() + "/ngircd.out";
    pid_ = ::fork();
    if (pid_ == 0) {
      // The child; the caller forks only while it has a single thread.
      if (cpu >= 0) (void)PinToCpu(0, cpu);
      int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
      }
      std::string nodaemon = "--nodaemon";
      std::string config = "--config";
      std::vector<char*> argv = {const_cast<char*>(binary.c_str()), nodaemon.data(),
                                 config.data(), const_cast<char*>(conf_path.c_str()), nullptr};
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) {
      *error = "cannot start a process";
      return false;
    }
    Clock::time_point deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port_);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool up = fd >= 0 &&
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      if (fd >= 0) ::close(fd);
      if (up) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;  // stopped at start: try another port
      }
      std::this_thread::sleep_for(20ms);
    }
    if (pid_ > 0) {
      *error = "ngIRCd did not accept connections within 10 s (see " + out_path + ")";
      return false;
    }
  }
  *error = "ngIRCd stopped at start five times";
  return false;
}

int NgircdProcess::Stop(std::chrono::milliseconds timeout) { return StopChild(&pid_, timeout); }

bool Profiler::Start(int pid, const std::string& output) {
  Stop();
  std::vector<std::string> words = {"perf",  "record", "-q", "-F", "499",
                                    "--call-graph", "dwarf,8192", "-p",
                                    std::to_string(pid), "-o", output};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child; the caller forks only while it has a single thread.
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::close(null_fd);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid_ < 0) return false;
  // perf needs a moment to attach; a perf that ended at once failed.
  std::this_thread::sleep_for(300ms);
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Profiler::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGINT);
  Clock::time_point deadline = Clock::now() + 30s;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

double ProcessCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return -1;
  // The command name may hold spaces and parentheses; the fields after it
  // start past the last ')'. utime and stime are fields 14 and 15.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (index == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(ticks);
}

double SelfCpuSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return TimevalSeconds(usage.ru_utime) + TimevalSeconds(usage.ru_stime);
}

long ProcessPeakRssKiB(int pid) { return StatusFieldKiB(pid, "VmHWM"); }

long ProcessRssKiB(int pid) { return StatusFieldKiB(pid, "VmRSS"); }

bool PinToCpu(int pid, int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(pid, sizeof set, &set) == 0;
}

int UsableCpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

int ProcessOpenDescriptors(int pid) {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd",
                                         ec);
  if (ec) return -1;
  int count = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return -1;
    ++count;
  }
  return count;
}

std::string ExecutableDirectory() {
  std::error_code ec;
  std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !self.has_parent_path()) return ".";
  return self.parent_path().string();
}

long RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
      (void)::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace zanth::bench
