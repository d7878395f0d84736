// The real server run inside the test process on a thread of its own, on
// free loopback ports and a temporary documents folder, with a clock the
// test moves by hand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/server.h"
#include "platform/clock.h"
#include "support/test_support.h"

namespace zanth::testing {

class InProcessServer {
 public:
  // Writes a configuration with the two ports, 127.0.0.1 and extra_xml (the
  // rooms, for example) inside the root element, then starts the server.
  // With https, a third port is the HTTPS port (extra_xml names the
  // certificate).
  explicit InProcessServer(const std::string& extra_xml = DefaultRooms(),
                           const std::string& sitename_attributes = "", bool https = false);
  ~InProcessServer();

  bool started() const { return started_; }
  // Why the last attempt to start failed.
  const std::string& start_failure() const { return start_failure_; }
  std::uint16_t chat_port() const { return chat_port_; }
  std::uint16_t http_port() const { return http_port_; }
  std::uint16_t https_port() const { return https_port_; }
  std::string data_dir() const { return dir_.path() + "/My Zanth/"; }
  std::string Log() const;
  // Waits (bounded) until the log holds count lines containing text.
  bool WaitForLog(const std::string& text, int count = 1, int timeout_ms = 5000) const;
  // Moves the server's clock; the next passes see the new time.
  void Advance(std::int64_t seconds) { clock_.Advance(seconds); }
  // Runs fn on the server's state between two loop iterations: the loop
  // thread is stopped for the call and started again after it.
  template <typename Fn>
  void Run(Fn fn) {
    StopLoop();
    fn(server_->site());
    StartLoop();
  }

  // A gate (100) and a hidden staff timeout room (101), as a new site has.
  static std::string DefaultRooms();

 private:
  void StartLoop();
  void StopLoop();

  TempDir dir_;
  platform::ManualClock clock_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::uint16_t chat_port_ = 0;
  std::uint16_t http_port_ = 0;
  std::uint16_t https_port_ = 0;
  bool started_ = false;
  std::string start_failure_;
};

}  // namespace zanth::testing
