// The server process: start-up in its fixed order, first-run setup, and the
// single-threaded main loop that drives every subsystem.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "config/read_failure.h"
#include "config/settings.h"
#include "console/console.h"
#include "core/metrics.h"
#include "directory/directory_client.h"
#include "http/http_server.h"
#include "net/connection_manager.h"
#include "net/tls.h"
#include "platform/process.h"
#include "protocol/session.h"
#include "protocol/site.h"
#include "protocol/site_config.h"

namespace zanth {

struct ServerOptions {
  bool verbose = false;  // "debug" lines and hex dumps
  bool echo = false;     // every log line on standard output too
  bool headless = true;  // no terminal console
  // Builds the console at start-up, once the configuration is known and
  // before the listeners open; used unless headless. Returns nullptr when
  // there is no console to be had, and the server then runs headless.
  std::function<std::unique_ptr<console::Console>(console::ConsoleHost& host)> make_console;
  // The documents folder; empty means the user's, from the environment.
  std::string documents_folder;
  // The data directory itself (--data-dir), created with its parents when
  // missing; empty means "My Zanth" in the documents folder.
  std::string data_dir;
  // Quit on SIGINT and SIGTERM, reopen the log and reload the HTTPS
  // certificate on SIGHUP (the console makes SIGHUP quit instead). Off for
  // servers run inside another program.
  bool handle_signals = true;
};

class Server : private console::ConsoleHost {
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
  // After kStartFailed, one line for standard error on why, when start-up
  // knows more than "see the log"; empty otherwise.
  const std::string& start_failure() const { return start_failure_; }

  // One iteration of the main loop: wait at most max_wait_ms for readiness
  // (less when work is pending), then the transport pass, a log reopen and
  // certificate reload when SIGHUP asked for them, the HTTP, directory and
  // user-message passes, in that order, a pass of sends for what they
  // queued, then the console's input.
  void RunOnce(int max_wait_ms = kTickMs);
  // Runs the loop until a quit is requested.
  void Run();

  Settings& settings() override { return settings_; }
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
  // While the account "Lord" has its published password: tells the owner
  // how to change it, for a new site on the standard output or in the log;
  // at later starts logs one line.
  void WarnOfDefaultPassword(bool new_site, bool to_standard_output);
  // Logs where visitors find the browser page and the profile page.
  void LogVisitorAddresses();
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
  // Loads the certificate and key that the settings name (a relative path
  // from the data directory). 0, or the error with *why.
  int LoadCertificate(std::string* why);
  // At start, with an HTTPS port set: loads the pair and opens the HTTPS
  // listener. A pair that does not load is logged and told on standard
  // error, and the server goes on without the listener. Returns 0, or the
  // error of a listener that could not be opened.
  int StartHttps();
  // Opens the HTTPS listener (the HTTP server's, through TLS) and logs it.
  int OpenHttpsListener();
  // After SIGHUP: loads the pair again. New connections get the new pair,
  // open ones keep theirs; a pair that does not load leaves the one in use
  // and the log says why. A site whose start had no pair gets its listener
  // once one loads.
  void ReloadCertificate();
  // The connections by kind, the users signed on and the rooms, now.
  Gauges CurrentGauges() const;
  void WriteConfiguration();

  // What the console sees of the server.
  void SaveConfiguration() override;
  std::string_view Resource(const char* type, int number) override;
  std::string_view ResourceString(int number) override;

  ServerOptions options_;
  Settings settings_;
  platform::SingleInstance instance_;
  // Before the transport: its HTTPS listener points at it.
  net::TlsContext tls_;
  bool https_open_ = false;
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
  std::unique_ptr<console::Console> console_;
};

}  // namespace zanth
