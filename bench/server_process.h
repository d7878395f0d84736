// Runs zanthd (or the bench relay) as a child process for the benchmarks,
// and reads what the system knows of its CPU time and memory. All of the
// benchmarks' process control lives behind this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zanth::bench {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents by
// the destructor.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  // Empty when the directory could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The rooms of a benchmark site: the gate (id 100), the timeout room (101)
// and rooms - 1 more rooms (ids 102 and up), each holding up to capacity.
struct SiteLayout {
  int rooms = 1;
  int capacity = 100;
  // More configuration elements (e.g. <room/>s) written after those rooms.
  std::string extra_rooms;
  // The room id of room index 0 .. rooms - 1.
  static std::uint16_t RoomId(int index) {
    return static_cast<std::uint16_t>(index == 0 ? 100 : 101 + index);
  }
};

class ServerProcess {
 public:
  // binary: the zanthd executable to run.
  explicit ServerProcess(std::string binary);
  // Kills the server with SIGKILL if it still runs, and reaps it.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Writes a configuration that binds 127.0.0.1 on two ports below the
  // usual ephemeral range, with a gate room (id 100) that holds up to
  // gate_capacity people and a timeout room (id 101), followed by
  // extra_rooms (XML elements, e.g. more <room/>s), then starts
  // zanthd --headless and waits up to 20 s for it to listen. A server that
  // stops at once (a port taken) is retried on other ports, five times in
  // all. Returns true when it listens; else false with *error set.
  bool Start(int gate_capacity, std::string* error,
             const std::string& extra_rooms = "");
  // The same with the rooms of layout.
  bool Start(const SiteLayout& layout, std::string* error);
  // Pins the server (from its start) to one processor; -1 (the default)
  // leaves it free. Call before Start.
  void set_cpu(int cpu) { cpu_ = cpu; }
  // Sends SIGTERM and waits up to timeout, then SIGKILL. Returns the exit
  // status (128 + signal for a signal), or -1 when it had to be killed.
  int Stop(std::chrono::milliseconds timeout);

  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }
  std::uint16_t chat_port() const { return chat_port_; }
  std::uint16_t http_port() const { return http_port_; }
  std::string data_dir() const { return home_.path() + "/Documents/My Zanth/"; }
  std::string log_path() const { return data_dir() + "zanth.log"; }

 private:
  bool WriteConfig(const SiteLayout& layout);
  int Spawn();
  // Reaps the child when it has ended; its exit status, or -1 while it runs.
  int Reap();

  std::string binary_;
  TempDirectory home_;
  int pid_ = -1;
  std::uint16_t chat_port_ = 0;
  std::uint16_t http_port_ = 0;
  int cpu_ = -1;
};

// The bench relay (or another program that prints "ready PORT" on its
// standard output once it listens) as a child process.
class RelayProcess {
 public:
  RelayProcess() = default;
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  // Starts binary with args, pinned to cpu unless it is -1, and waits up to
  // 10 s for its "ready PORT" line. Returns true when it listens; else false
  // with *error set.
  bool Start(const std::string& binary, const std::vector<std::string>& args,
             int cpu, std::string* error);
  // As ServerProcess::Stop.
  int Stop(std::chrono::milliseconds timeout);

  int pid() const { return pid_; }
  std::uint16_t chat_port() const { return port_; }

 private:
  int pid_ = -1;
  std::uint16_t port_ = 0;
};

// ngIRCd as the fan-out benchmark's peer: a configuration made from a
// template (bench/ngircd.conf: @PORT@ and @DIR@ are replaced) in a
// temporary directory, and "ngircd --nodaemon -f FILE" as a child process.
class NgircdProcess {
 public:
  NgircdProcess() = default;
  ~NgircdProcess();
  NgircdProcess(const NgircdProcess&) = delete;
  NgircdProcess& operator=(const NgircdProcess&) = delete;

  // Starts binary with the template, pinned to cpu unless it is -1, on a
  // free loopback port, and waits up to 10 s until it accepts connections.
  // A port taken is retried with another, five times in all.
  bool Start(const std::string& binary, const std::string& conf_template, int cpu,
             std::string* error);
  // As ServerProcess::Stop.
  int Stop(std::chrono::milliseconds timeout);

  int pid() const { return pid_; }
  std::uint16_t port() const { return port_; }

 private:
  TempDirectory dir_;
  int pid_ = -1;
  std::uint16_t port_ = 0;
};

// `perf record` of a running process (with DWARF call graphs), from Start to
// Stop; the destructor stops it too.
class Profiler {
 public:
  Profiler() = default;
  ~Profiler() { Stop(); }
  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;

  // Starts perf on pid, writing output. false when perf could not start.
  bool Start(int pid, const std::string& output);
  // SIGINT, then up to 30 s for perf to write its file.
  void Stop();

 private:
  int pid_ = -1;
};

// CPU seconds (user + system) a process has used so far; negative when it
// cannot be read.
double ProcessCpuSeconds(int pid);
// CPU seconds (user + system) this process has used so far.
double SelfCpuSeconds();
// The peak resident set size (VmHWM) of a process in KiB; -1 when unknown.
long ProcessPeakRssKiB(int pid);
// The current resident set size (VmRSS) of a process in KiB; -1 when
// unknown.
long ProcessRssKiB(int pid);
// The number of descriptors a process has open (entries of /proc/PID/fd);
// -1 when they cannot be listed.
int ProcessOpenDescriptors(int pid);
// Pins a process (0: this one) to one processor; false when that fails.
bool PinToCpu(int pid, int cpu);
// The number of processors this process may run on.
int UsableCpuCount();
// The directory of the running executable, or "." when unknown.
std::string ExecutableDirectory();
// Raises this process's soft limit of open descriptors to the hard limit;
// returns the soft limit now in force.
long RaiseOpenFileLimit();

}  // namespace zanth::bench
