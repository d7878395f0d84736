// The directory client.
#include "directory/directory_client.h"

#include "core/log.h"
#include "core/result.h"
#include "directory/profile_page.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::directory {
namespace {

std::int64_t Now() { return platform::GetClock().NowSeconds(); }

}  // namespace

DirectoryClient::DirectoryClient(net::ConnectionManager& transport, Settings& settings,
                                 std::function<std::uint16_t()> population,
                                 std::function<void()> save)
    : transport_(transport),
      settings_(settings),
      population_(std::move(population)),
      save_(std::move(save)) {}

DirectoryClient::~DirectoryClient() {
  if (connection_ != nullptr) connection_->user_data = nullptr;
}

void DirectoryClient::Update() {
  if (state_ != DirectoryState::kIdle) return;
  next_update_ = Now() + kUpdateInterval;
  (void)WriteProfilePage(settings_, population_());
  received_.clear();
  received_.reserve(4000);
  Log(nullptr, "DirUpdt", "Opening directory server connection");
  state_ = DirectoryState::kConnecting;
  std::string host = settings_.directory_server.empty() ? kDefaultHost
                                                        : settings_.directory_server;
  net::Connection* connection = nullptr;
  // A name under ".invalid" never resolves; asking would only wait.
  bool invalid = host.substr(0, host.find(':')).ends_with(".invalid");
  if (invalid || transport_.ConnectTo(host, this, nullptr, &connection) != kOk) {
    LogDebug("directory failed name address, trying physical");
    std::string port;
    if (std::size_t colon = host.find(':'); colon != std::string::npos) port = host.substr(colon);
    if (int rc = transport_.ConnectTo(kFallbackHost + port, this, nullptr, &connection);
        rc != kOk) {
      LogError(rc, "opening directory server connection");
      return;  // connecting until the time limit closes the attempt
    }
  }
  connection_ = connection;
}

void DirectoryClient::UpdateSoon(std::int64_t seconds) {
  std::int64_t soon = Now() + seconds;
  if (soon < next_update_) next_update_ = soon;
  next_live_info_ = 0;
}

void DirectoryClient::OnConnected(net::Connection& connection) {
  connection_ = &connection;
  state_ = DirectoryState::kConnected;
  LogDebug("Directory server connection open");
}

void DirectoryClient::OnLost(net::Connection& connection) {
  LogDebug("Directory connection marked for close");
  close_request_ = true;
  connection_ = &connection;
  state_ = DirectoryState::kClosing;
}

void DirectoryClient::OnRemoved(net::Connection& connection) {
  if (connection_ == &connection) connection_ = nullptr;
}

std::vector<std::uint8_t> DirectoryClient::Announcement() const {
  wire::PayloadWriter w;
  w.Fixed(settings_.directory_id, 36)
      .U32(settings_.site_flags)
      .U16(population_())
      .Fixed(settings_.site_url, 512)
      .Fixed(settings_.site_image, 512)
      .Fixed(settings_.site_name, 512)
      .Fixed(kServerVersion, 256)
      .Fixed(settings_.description, 1024)
      .Zeros(40)
      .Fixed(settings_.profile_url, 514);
  return std::move(w.bytes());
}

void DirectoryClient::Send(const char (&type)[5], const std::vector<std::uint8_t>& payload) {
  if (connection_ == nullptr || close_request_) return;
  std::vector<std::uint8_t> frame;
  wire::FrameMessage(wire::kDirectoryMagic, wire::TypeCode(type), payload.data(),
                         payload.size(), false, &frame);
  LogDebug("Queing %d bytes for directory send", static_cast<int>(frame.size()));
  (void)connection_->QueueSend(frame.data(), frame.size());
}

void DirectoryClient::Close(std::int64_t now) {
  Log(nullptr, "DirUpdt", "Closing directory server connection");
  if (connection_ != nullptr) {
    connection_->user_data = nullptr;
    transport_.RemoveConnection(connection_);
    connection_ = nullptr;
  }
  received_.clear();
  received_.shrink_to_fit();
  close_request_ = false;
  state_ = DirectoryState::kIdle;
  next_update_ = now + kUpdateInterval;
}

void DirectoryClient::Receive() {
  if (connection_ == nullptr) return;
  std::size_t waiting = connection_->ReadyCount();
  if (waiting > 0) {
    std::size_t used = received_.size();
    received_.resize(used + waiting);
    received_.resize(used + connection_->TakeInput(received_.data() + used, waiting));
  }
  std::size_t pos = 0;
  while (received_.size() - pos > wire::kHeaderSize) {
    const std::uint8_t* message = received_.data() + pos;
    std::uint32_t length = wire::LoadU32(message + 4);
    if (length < wire::kHeaderSize) {
      // Nothing sensible follows a length that cannot hold its header.
      pos = received_.size();
      break;
    }
    if (length > received_.size() - pos) {
      LogDebug("Not all data in buffer. Have %d of %d bytes", static_cast<int>(received_.size()),
               static_cast<int>(length));
      break;
    }
    std::uint32_t type = wire::LoadU32(message + 8);
    if (type == wire::TypeCode("Dsct")) {
      LogDebug("Received directory done");
      Send("Dsct", {});
    } else if (type == wire::TypeCode("UAre")) {
      LogDebug("Received directory ID");
      wire::PayloadReader r(message + wire::kHeaderSize, length - wire::kHeaderSize);
      settings_.directory_id = r.ZString().substr(0, kDirectoryIdLimit);
      if (save_) save_();
    }
    pos += length;
  }
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void DirectoryClient::Poll() {
  std::int64_t now = Now();
  if (now > next_live_info_) {
    int population = population_();
    if (!settings_.live_info_file.empty() && population != last_live_population_) {
      std::string line = FormatMessage("%s,%d,\"%s\"\n", settings_.directory_id.c_str(),
                                       population, settings_.site_name.c_str());
      int rc = platform::WriteFileAtomically(settings_.live_info_file, line);
      if (rc == 0) {
        last_live_population_ = population;
      } else {
        LogError(rc, "writing %s", settings_.live_info_file.c_str());
      }
    }
    next_live_info_ = now + kLiveInfoInterval;
  }
  if (state_ == DirectoryState::kIdle) {
    if (now > next_update_) {
      if (!settings_.hidden()) {
        Update();
      } else {
        next_update_ = now + kUpdateInterval;
      }
    }
    return;
  }
  if (close_request_) {
    Close(now);
    return;
  }
  bool waiting = state_ == DirectoryState::kConnecting || state_ == DirectoryState::kConnected;
  if ((waiting && now > next_update_ + kConnectLimit) ||
      (state_ == DirectoryState::kAnnounced && now > next_update_)) {
    close_request_ = true;
    state_ = DirectoryState::kClosing;
    return;
  }
  if (state_ == DirectoryState::kConnected) {
    state_ = DirectoryState::kAnnounced;
    Send("SvId", Announcement());
  }
  if (state_ == DirectoryState::kAnnounced) Receive();
}

}  // namespace zanth::directory
