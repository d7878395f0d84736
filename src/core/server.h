// The server process: start-up in its fixed order, first-run setup, and the
// single-threaded main loop that drives every subsystem.
#pragma once

#include <memory>
#include <string>

#include "core/settings.h"
#include "net/connection_manager.h"
#include "platform/process.h"

namespace zanth {

struct ServerOptions {
  bool verbose = false;  // "debug" lines and hex dumps
  bool echo = false;     // every log line on standard output too
  bool headless = true;  // no terminal console
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Start-up up to the main loop. Returns kStarted when the server runs,
  // kSecondInstance when another server holds the data directory, or
  // kStartFailed (after logging why).
  static constexpr int kStarted = 0;
  static constexpr int kSecondInstance = 1;
  static constexpr int kStartFailed = 2;
  int Start();

  // One iteration of the main loop: wait at most max_wait_ms for readiness
  // (less when work is pending), then the transport, HTTP, directory and
  // user-message passes, in that order.
  void RunOnce(int max_wait_ms = kTickMs);
  // Runs the loop until a quit is requested.
  void Run();

  Settings& settings() { return settings_; }
  net::ConnectionManager& transport() { return transport_; }

  static constexpr int kTickMs = 5;

 private:
  class ChatListener;
  class HttpListener;

  void FirstRunSetup();
  void WriteConfiguration();
  bool PassesPending() const;

  ServerOptions options_;
  Settings settings_;
  platform::SingleInstance instance_;
  net::ConnectionManager transport_;
  std::unique_ptr<ChatListener> chat_listener_;
  std::unique_ptr<HttpListener> http_listener_;
};

}  // namespace zanth
