// The server process: start-up in its fixed order, first-run setup, and the
// single-threaded main loop that drives every subsystem.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "config/read_failure.h"
#include "core/settings.h"
#include "directory/directory_client.h"
#include "http/http_server.h"
#include "net/connection_manager.h"
#include "platform/process.h"
#include "protocol/session.h"
#include "protocol/site.h"
#include "protocol/site_config.h"

namespace zanth {

class Server;

// The terminal console as start-up and the main loop see it. The console
// library implements it, so that the core never depends on the screen code.
class ServerConsole {
 public:
  virtual ~ServerConsole() = default;
  // A descriptor that becomes readable when input waits; the main loop's
  // wait wakes for it. -1 for none.
  virtual int input_descriptor() const = 0;
  // Handles the waiting keys and mouse events and repaints what changed.
  // Runs after every round of polls. May block while a modal dialog is
  // open, which pauses the polls.
  virtual void HandleInput() = 0;
};

struct ServerOptions {
  bool verbose = false;  // "debug" lines and hex dumps
  bool echo = false;     // every log line on standard output too
  bool headless = true;  // no terminal console
  // Builds the console at start-up, once the configuration is known and
  // before the listeners open; used unless headless. Returns nullptr when
  // there is no console to be had, and the server then runs headless.
  std::function<std::unique_ptr<ServerConsole>(Server& server)> make_console;
  // The documents folder; empty means the user's, from the environment.
  std::string documents_folder;
  // Quit on SIGINT and SIGTERM, reopen the log on SIGHUP (the console makes
  // SIGHUP quit instead). Off for servers run inside another program.
  bool handle_signals = true;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Start-up up to the main loop. Returns kStarted when the server runs,
  // kSecondInstance when another server holds the data directory, or
  // kStartFailed (after logging why). A stored file that exists but cannot
  // be read to its end (the configuration, the groups, the ban list, the
  // prop index) is a failed start, with nothing written over it, and
  // start_failure() has the one line that says which and why.
  static constexpr int kStarted = 0;
  static constexpr int kSecondInstance = 1;
  static constexpr int kStartFailed = 2;
  int Start();

  // One iteration of the main loop: wait at most max_wait_ms for readiness
  // (less when work is pending), then the transport pass, a log reopen when
  // SIGHUP asked for one, the HTTP, directory and user-message passes, in
  // that order, then the console's input.
  void RunOnce(int max_wait_ms = kTickMs);
  // Runs the loop until a quit is requested.
  void Run();

  // After a start that failed on a stored file: the line for the owner,
  // naming the file, the place and the fault. Empty otherwise.
  const std::string& start_failure() const { return start_failure_; }

  Settings& settings() { return settings_; }
  net::ConnectionManager& transport() { return transport_; }
  protocol::Site& site() { return site_; }

  // Ends Run() after the current iteration; safe from another thread.
  void RequestStop() { stop_requested_ = true; }
  void ClearStopRequest() { stop_requested_ = false; }

  static constexpr int kTickMs = 5;

 private:
  // Takes over a legacy site found in the working directory. 0 when one
  // was found.
  int ImportLegacySite();
  void FirstRunSetup();
  // Copies the browser page into the media folder's "web" subfolder when
  // it has none (never over a site owner's files).
  void PlaceWebClient();
  int OpenPropCache(std::string* problem);
  // Logs the failure's line, keeps it for start_failure() and returns
  // kStartFailed. The second form builds the failure from a file's path,
  // its result code and the loader's account of the damage.
  int StopForUnreadFile(const config::ReadFailure& failure);
  int StopForUnreadFile(const std::string& path, int rc, const std::string& problem);
  // Reopens the log by its name, after a rotation renamed it.
  void ReopenLog();
  void WriteConfiguration();

  ServerOptions options_;
  Settings settings_;
  platform::SingleInstance instance_;
  net::ConnectionManager transport_;
  protocol::Site site_;
  std::unique_ptr<protocol::SiteConfigHooks> config_bridge_;
  std::unique_ptr<protocol::ChatSessions> chat_sessions_;
  std::unique_ptr<http::HttpServer> http_server_;
  std::unique_ptr<directory::DirectoryClient> directory_;
  std::atomic<bool> stop_requested_{false};
  std::string start_failure_;
  // Last, so that it goes first: it restores the terminal and takes its
  // sink out of the log before the rest of the server is torn down.
  std::unique_ptr<ServerConsole> console_;
};

}  // namespace zanth
