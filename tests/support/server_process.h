// Starts the real zanthd in a temporary HOME for loopback tests, and stops
// it. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zanth::testing {

// A TCP port that was free a moment ago on 127.0.0.1.
std::uint16_t PickFreePort();

// A port that was free a moment ago, below the system's range of ephemeral
// ports: no other test's server or connection is handed it meanwhile, so
// it stays free for a listener that opens late. PickFreePort() when the
// range leaves no room below it.
std::uint16_t PickPortBelowEphemeralRange();

// Connects a blocking TCP socket to 127.0.0.1:port, from the local
// address from when one is given (another 127.x address makes another
// peer); -1 on failure.
int ConnectLoopback(std::uint16_t port, const std::string& from = "");

class ServerProcess {
 public:
  // A temporary HOME whose data directory holds a configuration that sets
  // the bind address 127.0.0.1 and two free ports. With data_dir, the
  // server is started with --data-dir data_dir instead of using the one in
  // the documents folder.
  explicit ServerProcess(const std::string& data_dir = "");
  ~ServerProcess();

  const std::string& home() const { return home_.path(); }
  // Ends in "/".
  std::string data_dir() const;
  std::string log_path() const { return data_dir() + "zanth.log"; }
  std::uint16_t chat_port() const { return chat_port_; }
  std::uint16_t http_port() const { return http_port_; }
  // A third free port, for a configuration that sets an HTTPS port.
  std::uint16_t https_port() const { return https_port_; }

  // Writes the configuration file (before Start). extra_xml goes inside the
  // root element after "sitename".
  void WriteConfig(const std::string& extra_xml = "");
  // Writes the configuration file with make(), which reads chat_port(),
  // http_port() and https_port(); a retry on fresh ports writes it again
  // the same way.
  void WriteConfigWith(std::function<std::string()> make);

  // Starts zanthd --headless with the extra arguments and waits until the
  // log says it listens. Returns false when it did not within the timeout.
  bool Start(const std::vector<std::string>& args = {});
  // Runs another zanthd with the same HOME (and data directory, unless args
  // give another) and waits for it to end; returns its exit status, or -1
  // when it did not end within timeout. *standard_error gets what it wrote
  // there.
  int RunSecondInstance(std::chrono::milliseconds timeout,
                        const std::vector<std::string>& args = {},
                        std::string* standard_error = nullptr);
  // Sends SIGTERM and waits; returns the exit status, or -1 on timeout.
  int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Ends the server with SIGKILL: no chance to write anything on the way.
  void Kill();
  // Sends signal_number to the running server.
  void Signal(int signal_number);
  bool running() const { return pid_ > 0; }

  std::string Log() const { return ReadFileText(log_path()); }
  // What the server started by Start() wrote on its standard output and
  // standard error so far.
  std::string StandardOutput() const { return ReadFileText(home() + "/server.out"); }
  std::string StandardError() const { return ReadFileText(home() + "/server.err"); }
  // Waits until the log holds count lines containing text.
  bool WaitForLog(const std::string& text, int count, std::chrono::milliseconds timeout) const;
  int CountInLog(const std::string& text) const;

 private:
  // Starts zanthd with its standard output and error going to
  // HOME/<output>.out and .err.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& output);
  static int WaitExit(pid_t pid, std::chrono::milliseconds timeout);
  // Makes the three ports differ from one another.
  void PickDistinctPorts();

  TempDir home_;
  std::string data_dir_;  // --data-dir, or empty
  std::uint16_t chat_port_;
  std::uint16_t http_port_;
  std::uint16_t https_port_;
  pid_t pid_ = -1;
  int second_runs_ = 0;
  std::function<std::string()> make_config_;
};

}  // namespace zanth::testing
