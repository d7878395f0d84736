// Start-up, first-run setup and the main loop.
#include "app/server.h"

#include <cerrno>
#include <cstdio>

#include "app/background_picture.h"
#include "app/resources.h"
#include "app/web_client.h"
#include "commands/commands.h"
#include "config/config_file.h"
#include "core/log.h"
#include "core/result.h"
#include "import/legacy_import.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "protocol/dispatcher.h"
#include "users/accounts.h"

namespace zanth {
namespace {

// The port a listener opens for a configured one: port 0 means the system's
// "zanth" service over "tcp", or the default chat port when it has none.
std::uint16_t ListenPort(std::uint16_t configured) {
  return configured != 0 ? configured : platform::ServicePort("zanth", "tcp", kDefaultChatPort);
}

// Creates a directory; reports a failure other than "already there" on the
// standard output and in the log.
void CreateDirectoryReported(const std::string& path, const char* what) {
  int rc = platform::MakeDirectory(path);
  if (rc == 0 || rc == EEXIST) return;
  std::printf("error %d creating %s\n", rc, what);
  std::fflush(stdout);
  LogError(rc, "creating %s", what);
}

// Creates a directory and every missing folder above it; reports a
// failure as CreateDirectoryReported does.
void CreateDirectoriesReported(const std::string& path, const char* what) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    if (!platform::DirectoryExists(parent)) (void)platform::MakeDirectory(parent);
  }
  CreateDirectoryReported(path, what);
}

// A first-run room description: the default background picture.
constexpr char kDefaultRoomDescription[] =
    "<roomdesc background=\"plain.jpg\">\r</roomdesc>\r";

// Where visitors reach this machine: the address the listeners are bound
// to, else the site's configured address, else this host's.
std::string VisitorAddress(const Settings& settings) {
  for (const std::string* address : {&settings.listen_address, &settings.bind_address}) {
    if (!address->empty() && *address != "0.0.0.0") return *address;
  }
  return platform::FirstHostAddress();
}

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

void Server::SaveConfiguration() { WriteConfiguration(); }

std::string_view Server::Resource(const char* type, int number) {
  return LoadResource(type, number);
}

std::string_view Server::ResourceString(int number) { return LoadResourceString(number); }

int Server::Start() {
  std::string documents =
      options_.documents_folder.empty() ? platform::DocumentsFolder() : options_.documents_folder;
  settings_.data_dir = options_.data_dir.empty()
                           ? documents + "/My Zanth/"
                           : platform::CanonicalPath(options_.data_dir) + "/";
  // One server per data directory, however it is spelt; decided before any
  // file is touched.
  if (!instance_.Acquire(platform::CanonicalPath(settings_.data_dir))) return kSecondInstance;

  Logger& logger = GetLogger();
  logger.set_verbose(options_.verbose);
  logger.set_echo(options_.echo);
  platform::RaiseDescriptorLimit();
  platform::KeepFreedMemory();  // the transport gives it back when traffic is quiet
  if (options_.handle_signals) {
    int signal_fd = platform::InstallSignalHandlers();
    if (signal_fd >= 0) (void)transport_.WatchWakeDescriptor(signal_fd);
  }

  if (!options_.data_dir.empty()) {
    if (!platform::DirectoryExists(settings_.data_dir)) {
      CreateDirectoriesReported(settings_.data_dir, "zanth directory");
    }
  } else {
    if (!documents.empty() && !platform::DirectoryExists(documents)) {
      CreateDirectoryReported(documents, "documents directory");
    }
    CreateDirectoryReported(settings_.data_dir, "zanth directory");
  }

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
  // Encoded passwords are as good as plain text, and bans name visitors:
  // files from before they were written for their owner alone are made so.
  for (const std::string& path : {site_.AccountsPath(), site_.BansPath()}) {
    bool changed = false;
    if (int rc = platform::MakePrivate(path, &changed); rc != 0) {
      LogError(rc, "making %s private", path.c_str());
    } else if (changed) {
      Log(nullptr, "main", "Made %s readable by its owner only", path.c_str());
    }
  }
  config_bridge_ = std::make_unique<protocol::SiteConfigHooks>(site_);
  commands::InstallSiteHooks(site_);
  site_.save_configuration = [this] { WriteConfiguration(); };

  settings_.config_file = settings_.data_dir + "zanth.conf";
  Log(nullptr, "main", "Loading configuration");
  bool new_site = false;
  config::ReadFailure failure;
  // An older-format file, a new site and a missing profile page are written
  // out once, below, so that the ".bak" of that write is the owner's file.
  bool rewrite = false;
  int read = config::ReadConfiguration(settings_.config_file, &settings_, config_bridge_.get(),
                                       &failure, &rewrite);
  if (read != 0 && read != ENOENT) return StopForUnreadFile(failure);
  // A new site only where there is no configuration at all.
  if (read == ENOENT) {
    Log(nullptr, "main", "No config files, searching for legacy server files");
    if (ImportLegacySite() != 0) {
      Log(nullptr, "main", "No legacy files, first run setup");
      FirstRunSetup();
    }
    rewrite = true;
    new_site = true;
  }
  if (settings_.media_dir.empty()) settings_.media_dir = settings_.DefaultMediaDir();
  if (settings_.prop_dir.empty()) settings_.prop_dir = settings_.media_dir + kPropsSubfolder;
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
    rewrite = true;
  }
  // A failed write has been logged; an older file then stays for the next
  // start to convert.
  if (rewrite) WriteConfiguration();
  if (settings_.site_url.empty()) {
    settings_.site_url = FormatMessage("zanth://%s:%d/?%d", settings_.bind_address.c_str(),
                                       settings_.chat_port, settings_.chat_port);
  }

  // Before the console takes the terminal over; the console's log view
  // shows the log's lines from its creation on.
  if (new_site && !options_.echo) WarnOfDefaultPassword(true, true);
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

  WarnOfDefaultPassword(new_site, false);
  Log(nullptr, "main", "Network initialized");
  Log(nullptr, "main", "Bind Address %s %d", settings_.bind_address.c_str(),
      settings_.chat_port);
  chat_sessions_ = std::make_unique<protocol::ChatSessions>(site_);
  // The access log names the chat user, if any, who connected from the
  // same address.
  auto log_user_lookup = [this](const std::string& peer, LogUser* tag) {
    const users::UserRecord* user = site_.users.NewestFrom(peer);
    if (user != nullptr) *tag = user->log_user();
    return user != nullptr;
  };
  http_server_ = std::make_unique<http::HttpServer>(transport_, settings_, log_user_lookup);
  http_server_->LoadMimeTable(LoadResource("TEXT", 100));
  http_server_->set_chat_socket_handler(chat_sessions_.get());
  http_server_->set_gauge_source([this] { return CurrentGauges(); });
  if (transport_.ListenOn(settings_.bind_address, ListenPort(settings_.chat_port),
                          chat_sessions_.get(), true, settings_.listen_address) != 0 ||
      transport_.ListenOn(settings_.bind_address, ListenPort(settings_.http_port),
                          http_server_.get(), false, settings_.listen_address) != 0) {
    start_failure_ = "cannot listen on " + transport_.listen_failure();
    return kStartFailed;
  }
  if (settings_.https_port != 0 && StartHttps() != 0) {
    start_failure_ = "cannot listen on " + transport_.listen_failure();
    return kStartFailed;
  }
  Log(nullptr, "main", "Listening socket established");
  LogVisitorAddresses();
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
  // props live in the default media folder until then.
  std::string folder = settings_.DefaultMediaDir() + kPropsSubfolder;
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
  settings_.UseDefaultFolders();
  CreateDirectoryReported(settings_.media_dir, "media directory");
  if (int rc = import::ImportLegacySite(settings_, site_.rooms); rc != 0) return rc;
  // Without an address for its pictures the site could serve no media.
  if (settings_.base_url.empty()) {
    settings_.base_url = FormatMessage("http://%s:%d/", platform::FirstHostAddress().c_str(),
                                       settings_.http_port);
    settings_.prop_url = settings_.base_url + kPropsSubfolder;
  }
  return 0;
}

void Server::WarnOfDefaultPassword(bool new_site, bool to_standard_output) {
  const char* name = users::kDefaultAccountName;
  const char* password = users::kDefaultAccountPassword;
  if (site_.accounts.Check(name, password) == nullptr) return;
  if (!new_site) {
    Log(nullptr, "main", "The account \"%s\" still has the published default password", name);
    return;
  }
  const std::string lines[] = {
      FormatMessage("New site created in %s", settings_.data_dir.c_str()),
      FormatMessage("The owner account \"%s\" has the published default password \"%s\":",
                    name, password),
      "anyone can sign on with it until you change it. To change it:",
      FormatMessage("  zanthc --account %s --password '%s' --say '/account password %s NEW'",
                    name, password, name),
      "or use the account editor of a chat client (see zanthd(1), THE OWNER ACCOUNT).",
  };
  for (const std::string& line : lines) {
    if (to_standard_output) {
      std::printf("zanthd: %s\n", line.c_str());
    } else {
      Log(nullptr, "main", "%s", line.c_str());
    }
  }
  if (to_standard_output) std::fflush(stdout);
}

void Server::LogVisitorAddresses() {
  // The browser page opens its chat connection on the port that served it,
  // so its address is this server's even when the media live elsewhere;
  // over HTTPS it is a secure one.
  Log(nullptr, "main", "Web client at %s://%s:%d/web/index.html", https_open_ ? "https" : "http",
      VisitorAddress(settings_).c_str(), https_open_ ? settings_.https_port : settings_.http_port);
  Log(nullptr, "main", "Profile page at %s", settings_.profile_url.c_str());
}

int Server::LoadCertificate(std::string* why) {
  auto resolve = [this](const std::string& path) {
    return path.empty() || path[0] == '/' ? path : settings_.data_dir + path;
  };
  return tls_.Load(resolve(settings_.tls_certificate), resolve(settings_.tls_key), why);
}

int Server::StartHttps() {
  std::string why;
  if (LoadCertificate(&why) != 0) {
    // The chat and HTTP ports serve as ever; the owner learns why the
    // secure one does not (the console's log view shows the line).
    LogError(0, "HTTPS not started: %s", why.c_str());
    if (console_ == nullptr) {
      std::fprintf(stderr, "zanthd: HTTPS not started: %s\n", why.c_str());
      std::fflush(stderr);
    }
    return kOk;
  }
  return OpenHttpsListener();
}

int Server::OpenHttpsListener() {
  if (int rc = transport_.ListenOn(settings_.bind_address, settings_.https_port,
                                   http_server_.get(), false, settings_.listen_address, &tls_);
      rc != 0) {
    return rc;
  }
  https_open_ = true;
  Log(nullptr, "main", "HTTPS on port %d with the certificate %s", settings_.https_port,
      tls_.description().c_str());
  return kOk;
}

void Server::ReloadCertificate() {
  if (settings_.https_port == 0 || http_server_ == nullptr) return;
  bool had_pair = tls_.loaded();
  std::string why;
  if (LoadCertificate(&why) != 0) {
    if (had_pair) {
      LogError(0, "HTTPS certificate not reloaded: %s; the one in use stays", why.c_str());
    } else {
      LogError(0, "HTTPS not started: %s", why.c_str());
    }
    return;
  }
  if (https_open_) {
    Log(nullptr, "main", "HTTPS certificate reloaded: %s", tls_.description().c_str());
  } else if (OpenHttpsListener() == 0) {
    LogVisitorAddresses();
  }
}

void Server::PlaceWebClient() {
  std::string source = FindWebClientFiles(WebClientCandidates(platform::ExecutablePath()));
  if (source.empty()) return;  // a server without its page still chats
  WebClientPlacement placement;
  int rc = zanth::PlaceWebClient(source, settings_.media_dir, &placement);
  const char* media = settings_.media_dir.c_str();
  for (const std::string& path : placement.set_aside) {
    Log(nullptr, "main", "The web client's %s had been edited; kept as %sweb/%s.bak", path.c_str(),
        media, path.c_str());
  }
  if (placement.written > 0 && placement.fresh) {
    Log(nullptr, "main", "Placed the web client in %sweb/", media);
  } else if (placement.written > 0) {
    Log(nullptr, "main", "Updated the web client in %sweb/ (%d files)", media, placement.written);
  }
  if (rc != 0) LogError(rc, "placing the web client in %sweb/", media);
}

void Server::FirstRunSetup() {
  settings_.site_name = "Personal Zanth Server";
  settings_.UseDefaultFolders();
  CreateDirectoryReported(settings_.media_dir, "media directory");
  settings_.profile_file = settings_.media_dir + "index.html";
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
  // The picture both rooms name, unless the owner put one there already.
  std::string picture = settings_.media_dir + kDefaultBackgroundName;
  if (!platform::FileExists(picture)) {
    if (int rc = platform::WriteFileAtomically(picture, DefaultBackgroundJpeg()); rc != 0) {
      LogError(rc, "writing %s", picture.c_str());
    }
  }
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
  settings_.prop_url = settings_.base_url + kPropsSubfolder;
  settings_.profile_url = settings_.base_url + "index.html";
}

void Server::RunOnce(int max_wait_ms) {
  (void)transport_.Poll(max_wait_ms);
  if (platform::TakeHangup()) {
    ReopenLog();
    ReloadCertificate();
  }
  if (http_server_ != nullptr) (void)http_server_->Poll();
  if (directory_ != nullptr) directory_->Poll();
  (void)protocol::ProcessUsers(site_);
  // What the passes above queued goes out now, not after the next wait.
  (void)transport_.SendPass();
  if (console_ != nullptr) console_->HandleInput();
}

Gauges Server::CurrentGauges() const {
  Gauges gauges;
  for (const net::Connection& connection : transport_.connections()) {
    if (connection.handler() == chat_sessions_.get()) {
      ++(connection.websocket() ? gauges.browser_connections : gauges.chat_connections);
    } else if (connection.handler() == http_server_.get()) {
      ++gauges.http_connections;
    }
  }
  for (const users::UserRecord& user : site_.users.users()) {
    if (user.signed_on()) ++gauges.signed_on_users;
  }
  gauges.rooms = site_.rooms.count();
  return gauges;
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
