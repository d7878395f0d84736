// Start-up, first-run setup and the main loop.
#include "core/server.h"

#include <cerrno>
#include <cstdio>

#include "commands/commands.h"
#include "config/config_file.h"
#include "core/log.h"
#include "core/resources.h"
#include "core/result.h"
#include "core/web_client.h"
#include "import/legacy_import.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "protocol/dispatcher.h"

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

Server::Server(ServerOptions options)
    : options_(std::move(options)), site_(settings_, transport_) {}

Server::~Server() {
  transport_.PrepareExit();
  // Users hold their connections; they go first.
  while (users::UserRecord* user = site_.users.users().front()) {
    protocol::RemoveUser(site_, *user);
  }
}

void Server::WriteConfiguration() {
  (void)config::WriteConfiguration(settings_.config_file, settings_, config_bridge_.get());
}

int Server::Start() {
  std::string documents =
      options_.documents_folder.empty() ? platform::DocumentsFolder() : options_.documents_folder;
  settings_.data_dir = documents + "/My Zanth/";
  // One server per data directory; decided before any file is touched.
  if (!instance_.Acquire(settings_.data_dir)) return kSecondInstance;

  Logger& logger = GetLogger();
  logger.set_verbose(options_.verbose);
  logger.set_echo(options_.echo);
  platform::RaiseDescriptorLimit();
  if (options_.handle_signals) {
    int signal_fd = platform::InstallSignalHandlers();
    if (signal_fd >= 0) (void)transport_.WatchWakeDescriptor(signal_fd);
  }

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
  // A stored file that exists but cannot be read to its end stops the
  // start: going on would write over it what little was read.
  std::string problem;
  if (int rc = OpenPropCache(&problem); rc != 0) {
    if (rc > 0) Log(nullptr, "errext", "Error opening prop cache index file %d", rc);
    return StopForUnreadFile(settings_.data_dir + "propcache.idx", rc, problem);
  }
  if (int rc = site_.bans.Load(site_.BansPath(), &problem); rc != 0) {
    return StopForUnreadFile(site_.BansPath(), rc, problem);
  }
  Log(nullptr, "main", "Loading groups");
  if (int rc = site_.groups.Load(site_.GroupsPath(), &problem); rc != 0) {
    // Without a problem, the file was missing and the defaults could not
    // be written: they serve all the same.
    if (!problem.empty()) return StopForUnreadFile(site_.GroupsPath(), rc, problem);
    LogError(rc, "writing groups");
  }
  // An account file that cannot be read leaves the server without accounts
  // and the file as it is.
  (void)site_.accounts.Load(site_.AccountsPath(), site_.groups);
  config_bridge_ = std::make_unique<protocol::SiteConfigHooks>(site_);
  commands::InstallSiteHooks(site_);
  site_.save_configuration = [this] { WriteConfiguration(); };

  settings_.config_file = settings_.data_dir + "zanth.conf";
  Log(nullptr, "main", "Loading configuration");
  config::ReadFailure failure;
  int read = config::ReadConfiguration(settings_.config_file, &settings_, config_bridge_.get(),
                                       &failure);
  if (read != 0 && read != ENOENT) return StopForUnreadFile(failure);
  // A new site only where there is no configuration at all.
  if (read == ENOENT) {
    Log(nullptr, "main", "No config files, searching for legacy server files");
    if (ImportLegacySite() != 0) {
      Log(nullptr, "main", "No legacy files, first run setup");
      FirstRunSetup();
    }
    WriteConfiguration();
  }
  if (settings_.media_dir.empty()) settings_.media_dir = settings_.data_dir + "media/";
  if (settings_.prop_dir.empty()) settings_.prop_dir = settings_.media_dir + "props/";
  site_.props.set_prop_dir(settings_.prop_dir);
  // Uploads need both folders even when the configuration came from
  // elsewhere.
  if (!platform::DirectoryExists(settings_.media_dir)) {
    CreateDirectoryReported(settings_.media_dir, "media directory");
  }
  if (!platform::DirectoryExists(settings_.prop_dir)) {
    CreateDirectoryReported(settings_.prop_dir, "prop directory");
  }
  PlaceWebClient();
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

  if (!options_.headless && options_.make_console) {
    console_ = options_.make_console(*this);
    if (console_ == nullptr) {
      Log(nullptr, "main", "No terminal console, running headless");
    } else if (int fd = console_->input_descriptor(); fd >= 0) {
      if (int rc = transport_.WatchWakeDescriptor(fd); rc != 0) {
        LogError(rc, "watching the console's input");
      }
    }
  }

  Log(nullptr, "main", "Network initialized");
  Log(nullptr, "main", "Bind Address %s %d", settings_.bind_address.c_str(),
      settings_.chat_port);
  chat_sessions_ = std::make_unique<protocol::ChatSessions>(site_);
  http_server_ = std::make_unique<http::HttpServer>(transport_, settings_, site_.users);
  http_server_->LoadMimeTable(LoadResource("TEXT", 100));
  http_server_->set_chat_socket_handler(chat_sessions_.get());
  if (transport_.ListenOn(settings_.bind_address, settings_.chat_port, chat_sessions_.get(),
                          true) != 0 ||
      transport_.ListenOn(settings_.bind_address, settings_.http_port, http_server_.get(),
                          false) != 0) {
    return kStartFailed;
  }
  Log(nullptr, "main", "Listening socket established");
  // The page that opens a chat connection over the HTTP port.
  const std::string& address = settings_.bind_address;
  Log(nullptr, "main", "Web client at http://%s:%d/web/index.html",
      address.empty() || address == "0.0.0.0" ? "127.0.0.1" : address.c_str(),
      settings_.http_port);
  directory_ = std::make_unique<directory::DirectoryClient>(
      transport_, settings_, [this] { return site_.users.count(); },
      [this] { WriteConfiguration(); });
  site_.directory_update = [this] { directory_->Update(); };
  site_.directory_update_soon = [this](std::int64_t seconds) { directory_->UpdateSoon(seconds); };
  if (!settings_.hidden()) directory_->Update();
  return kStarted;
}

int Server::OpenPropCache(std::string* problem) {
  // The prop folder comes from the configuration, which is read later; the
  // props live in media/props/ of the data directory until then.
  std::string folder = settings_.data_dir + "media/props/";
  return site_.props.Open(settings_.data_dir + "propcache.idx", folder, problem);
}

int Server::StopForUnreadFile(const config::ReadFailure& failure) {
  start_failure_ = failure.Text();
  LogError(0, "%s", start_failure_.c_str());
  return kStartFailed;
}

int Server::StopForUnreadFile(const std::string& path, int rc, const std::string& problem) {
  config::ReadFailure failure;
  failure.path = path;
  failure.message = problem.empty() ? ResultText(rc) : problem;
  return StopForUnreadFile(failure);
}

int Server::ImportLegacySite() {
  // The legacy preferences may name their own picture folder; until they
  // do, room descriptions go where first-run setup would put them.
  settings_.media_dir = settings_.data_dir + "media/";
  settings_.prop_dir = settings_.media_dir + "props/";
  CreateDirectoryReported(settings_.media_dir, "media directory");
  if (int rc = import::ImportLegacySite(settings_, site_.rooms); rc != 0) return rc;
  // Without an address for its pictures the site could serve no media.
  if (settings_.base_url.empty()) {
    settings_.base_url = FormatMessage("http://%s:%d/", platform::FirstHostAddress().c_str(),
                                       settings_.http_port);
    settings_.prop_url = settings_.base_url + "props/";
  }
  return 0;
}

void Server::PlaceWebClient() {
  std::string source = FindWebClientFiles(WebClientCandidates(platform::ExecutablePath()));
  if (source.empty()) return;  // a server without its page still chats
  int copied = 0;
  int rc = zanth::PlaceWebClient(source, settings_.media_dir, &copied);
  if (copied > 0) Log(nullptr, "main", "Placed the web client in %sweb/", settings_.media_dir.c_str());
  if (rc != 0) LogError(rc, "placing the web client in %sweb/", settings_.media_dir.c_str());
}

void Server::FirstRunSetup() {
  settings_.site_name = "Personal Zanth Server";
  settings_.media_dir = settings_.data_dir + "media/";
  CreateDirectoryReported(settings_.media_dir, "media directory");
  settings_.profile_file = settings_.media_dir + "index.html";
  settings_.prop_dir = settings_.media_dir + "props/";
  CreateDirectoryReported(settings_.prop_dir, "prop directory");
  struct FirstRoom {
    std::uint16_t id;
    const char* name;
    std::uint32_t flags;
    const char* file;
  };
  const FirstRoom kRooms[] = {
      {100, "gate", rooms::kGate, "gate.rmd"},
      {101, "timeout", rooms::kTimeout | rooms::kHidden | rooms::kStaff, "timeout.rmd"},
  };
  for (const FirstRoom& r : kRooms) {
    // A media folder kept from an earlier site (its configuration moved
    // away) may hold the owner's own description of the room.
    std::string path = settings_.media_dir + r.file;
    if (platform::FileExists(path)) {
      Log(nullptr, "main", "Keeping %s", path.c_str());
    } else if (int rc = platform::WriteWholeFile(path, kDefaultRoomDescription); rc != 0) {
      LogError(rc, "writing %s", path.c_str());
    }
    rooms::RoomFields fields;
    fields.id = r.id;
    fields.name = r.name;
    fields.flags = r.flags;
    fields.description = r.file;
    fields.file_name = r.file;
    (void)site_.rooms.Append(fields);
  }
  settings_.bind_address = platform::FirstHostAddress();
  std::string host = FormatMessage("%s:%d", settings_.bind_address.c_str(), settings_.http_port);
  settings_.base_url = "http://" + host + "/";
  settings_.prop_url = settings_.base_url + "props/";
  settings_.profile_url = settings_.base_url + "index.html";
}

void Server::RunOnce(int max_wait_ms) {
  // A request that collected its bytes in the last pass is answered in the
  // next one, which then does not wait for the tick.
  bool pending = http_server_ != nullptr && http_server_->HasPendingWork();
  (void)transport_.Poll(pending ? 0 : max_wait_ms);
  if (platform::TakeHangup()) ReopenLog();
  if (http_server_ != nullptr) (void)http_server_->Poll();
  if (directory_ != nullptr) directory_->Poll();
  (void)protocol::ProcessUsers(site_);
  if (console_ != nullptr) console_->HandleInput();
}

void Server::ReopenLog() {
  if (int rc = GetLogger().Reopen(); rc != 0) {
    // The line goes to the file still open, the one that was rotated away.
    LogError(rc, "reopening log file %s", settings_.log_file.c_str());
    return;
  }
  Log(nullptr, "main", "Log file reopened");
}

void Server::Run() {
  while (!platform::QuitRequested() && !stop_requested_) RunOnce();
}

}  // namespace zanth
