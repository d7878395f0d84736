// Runs zanthd as a child process in a temporary HOME for the benchmark, and
// reads what the system knows of its CPU time and memory. All of the
// benchmark's process control lives behind this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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
  // Sends SIGTERM and waits up to timeout, then SIGKILL. Returns the exit
  // status (128 + signal for a signal), or -1 when it had to be killed.
  int Stop(std::chrono::milliseconds timeout);

  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }
  std::uint16_t chat_port() const { return chat_port_; }
  std::string data_dir() const { return home_.path() + "/Documents/My Zanth/"; }
  std::string log_path() const { return data_dir() + "zanth.log"; }

 private:
  bool WriteConfig(int gate_capacity, const std::string& extra_rooms);
  int Spawn();
  // Reaps the child when it has ended; its exit status, or -1 while it runs.
  int Reap();

  std::string binary_;
  TempDirectory home_;
  int pid_ = -1;
  std::uint16_t chat_port_ = 0;
  std::uint16_t http_port_ = 0;
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
// The directory of the running executable, or "." when unknown.
std::string ExecutableDirectory();
// Raises this process's soft limit of open descriptors to the hard limit;
// returns the soft limit now in force.
long RaiseOpenFileLimit();

}  // namespace zanth::bench
