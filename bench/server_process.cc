// Child-process control and /proc readings for the benchmark.
#include "bench/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A "Name:   1234 kB" line of /proc/PID/status, in KiB; -1 when missing.
long StatusKiB(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name, 0) == 0)
      return std::strtol(line.c_str() + name.size(), nullptr, 10);
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

bool ServerProcess::WriteConfig(int gate_capacity,
                                const std::string& extra_rooms) {
  std::error_code ec;
  std::filesystem::create_directories(data_dir() + "media", ec);
  if (ec) return false;
  std::ofstream out(data_dir() + "zanth.conf", std::ios::trunc);
  out << "<?xml version=\"1.0\"?>\n<zanthd>\n"
      << "  <sitename address=\"127.0.0.1\" port=\"" << chat_port_
      << "\" httpport=\"" << http_port_ << "\">Bench Site</sitename>\n"
      << "  <baseurl src=\"" << data_dir()
      << "media/\">http://127.0.0.1:" << http_port_ << "/</baseurl>\n"
      << "  <room id=\"100\" name=\"gate\" maxocc=\"" << gate_capacity
      << "\" gate=\"yes\" desc=\"gate.rmd\" src=\"gate.rmd\"/>\n"
      << "  <room id=\"101\" name=\"timeout\" timeout=\"yes\" hidden=\"yes\" "
         "staff=\"yes\""
      << " desc=\"timeout.rmd\" src=\"timeout.rmd\"/>\n"
      << extra_rooms << "</zanthd>\n";
  return static_cast<bool>(out.flush());
}

int ServerProcess::Spawn() {
  std::string out_path = data_dir() + "server.out";
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child. The benchmark forks only while it has a single thread, so
  // the calls below cannot meet a lock held by another thread.
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
    if (!WriteConfig(gate_capacity, extra_rooms)) {
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
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  Clock::time_point deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (int status = Reap(); status >= 0) return status;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
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

long ProcessPeakRssKiB(int pid) { return StatusKiB(pid, "VmHWM:"); }

long ProcessRssKiB(int pid) { return StatusKiB(pid, "VmRSS:"); }

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
