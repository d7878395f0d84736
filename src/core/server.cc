// Start-up, first-run setup and the main loop.
#include "core/server.h"

#include <cerrno>
#include <cstdio>

#include "config/config_file.h"
#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"
#include "platform/socket.h"

namespace zanth {
namespace {

// Creates a directory; reports a failure other than "already there" on the
// standard output and in the log.
void CreateDirectoryReported(const std::string& path, const char* what) {
  int rc = platform::MakeDirectory(path);
  if (rc == 0 || rc == EEXIST) return;
  std::printf("error %d creating %s\n", rc, what);
  std::fflush(stdout);
  LogError(rc, "creating %s", what);
}

// A first-run room description: the default background picture.
constexpr char kDefaultRoomDescription[] =
    "<roomdesc background=\"plain.jpg\">\r</roomdesc>\r";

}  // namespace

// The chat listener's routines until sessions take over its connections:
// each connection is counted and logged, and dropped when lost.
class Server::ChatListener : public net::ConnectionHandler {
 public:
  explicit ChatListener(net::ConnectionManager* transport) : transport_(transport) {}
  int OnAccept(net::Connection& connection) override {
    if (++counter_ > 3000) counter_ = 0;
    Log(nullptr, "Connect", "#%d from %s", counter_, connection.peer_address().c_str());
    return kOk;
  }
  void OnLost(net::Connection& connection) override {
    transport_->RemoveConnection(&connection);
  }

 private:
  net::ConnectionManager* transport_;
  int counter_ = 0;
};

// The HTTP listener's routines until the file server takes its connections.
class Server::HttpListener : public net::ConnectionHandler {
 public:
  explicit HttpListener(net::ConnectionManager* transport) : transport_(transport) {}
  int OnAccept(net::Connection&) override { return kOk; }
  void OnLost(net::Connection& connection) override {
    transport_->RemoveConnection(&connection);
  }

 private:
  net::ConnectionManager* transport_;
};

Server::Server(ServerOptions options) : options_(options) {}

Server::~Server() = default;

void Server::WriteConfiguration() {
  (void)config::WriteConfiguration(settings_.config_file, settings_, nullptr);
}

int Server::Start() {
  std::string documents = platform::DocumentsFolder();
  settings_.data_dir = documents + "/My Zanth/";
  // One server per data directory; decided before any file is touched.
  if (!instance_.Acquire(settings_.data_dir)) return kSecondInstance;

  Logger& logger = GetLogger();
  logger.set_verbose(options_.verbose);
  logger.set_echo(options_.echo);
  platform::RaiseDescriptorLimit();
  int quit_fd = platform::InstallQuitSignals();
  if (quit_fd >= 0) (void)transport_.WatchWakeDescriptor(quit_fd);

  if (!documents.empty() && !platform::DirectoryExists(documents)) {
    CreateDirectoryReported(documents, "documents directory");
  }
  CreateDirectoryReported(settings_.data_dir, "zanth directory");

  settings_.log_file = settings_.data_dir + "zanth.log";
  if (int rc = logger.Open(settings_.log_file); rc != 0) {
    LogFatal("Error opening log file %s %d", settings_.log_file.c_str(), rc);
  }
  Log(nullptr, "main", "Server Start");
  Log(nullptr, "main", "%s", kServerVersion);
  Log(nullptr, "main", "Loading prop cache");
  Log(nullptr, "main", "Loading groups");

  settings_.config_file = settings_.data_dir + "zanth.conf";
  Log(nullptr, "main", "Loading configuration");
  if (config::ReadConfiguration(settings_.config_file, &settings_, nullptr) != 0) {
    Log(nullptr, "main", "No config files, searching for legacy server files");
    Log(nullptr, "main", "No legacy files, first run setup");
    FirstRunSetup();
    WriteConfiguration();
  }
  if (settings_.media_dir.empty()) settings_.media_dir = settings_.data_dir + "media/";
  if (settings_.profile_url.empty()) {
    bool has_index = platform::FileExists(settings_.media_dir + "index.html");
    std::string page = has_index ? "zanthprofile.html" : "index.html";
    settings_.profile_file = settings_.media_dir + page;
    settings_.profile_url = settings_.base_url + page;
    WriteConfiguration();
  }
  if (settings_.site_url.empty()) {
    settings_.site_url = FormatMessage("zanth://%s:%d/?%d", settings_.bind_address.c_str(),
                                       settings_.chat_port, settings_.chat_port);
  }

  Log(nullptr, "main", "Network initialized");
  Log(nullptr, "main", "Bind Address %s %d", settings_.bind_address.c_str(),
      settings_.chat_port);
  chat_listener_ = std::make_unique<ChatListener>(&transport_);
  http_listener_ = std::make_unique<HttpListener>(&transport_);
  if (transport_.ListenOn(settings_.bind_address, settings_.chat_port, chat_listener_.get(),
                          true) != 0 ||
      transport_.ListenOn(settings_.bind_address, settings_.http_port, http_listener_.get(),
                          false) != 0) {
    return kStartFailed;
  }
  Log(nullptr, "main", "Listening socket established");
  return kStarted;
}

void Server::FirstRunSetup() {
  settings_.site_name = "Personal Zanth Server";
  settings_.media_dir = settings_.data_dir + "media/";
  CreateDirectoryReported(settings_.media_dir, "media directory");
  settings_.profile_file = settings_.media_dir + "index.html";
  settings_.prop_dir = settings_.media_dir + "props/";
  CreateDirectoryReported(settings_.prop_dir, "prop directory");
  for (const char* name : {"gate.rmd", "timeout.rmd"}) {
    std::string path = settings_.media_dir + name;
    if (int rc = platform::WriteWholeFile(path, kDefaultRoomDescription); rc != 0) {
      LogError(rc, "writing %s", path.c_str());
    }
  }
  settings_.bind_address = platform::FirstHostAddress();
  std::string host = FormatMessage("%s:%d", settings_.bind_address.c_str(), settings_.http_port);
  settings_.base_url = "http://" + host + "/";
  settings_.prop_url = settings_.base_url + "props/";
  settings_.profile_url = settings_.base_url + "index.html";
}

bool Server::PassesPending() const { return false; }

void Server::RunOnce(int max_wait_ms) {
  int wait = PassesPending() ? 0 : max_wait_ms;
  (void)transport_.Poll(wait);
}

void Server::Run() {
  while (!platform::QuitRequested()) RunOnce();
}

}  // namespace zanth
