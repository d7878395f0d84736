// The directory client: announces the site to the directory server about
// every twenty minutes (sooner after arrivals and departures), keeps the
// directory ID the server assigns, and keeps the live-info file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "net/connection_manager.h"

namespace zanth::directory {

inline constexpr std::int64_t kUpdateInterval = 1200;
inline constexpr std::int64_t kConnectLimit = 600;
inline constexpr std::int64_t kLiveInfoInterval = 15;
inline constexpr std::size_t kAnnouncementSize = 3412;
// Used when the configuration names no directory server: a name that never
// resolves, then the fallback address.
inline constexpr char kDefaultHost[] = "directory.zanth.invalid";
inline constexpr char kFallbackHost[] = "127.0.0.1";

enum class DirectoryState { kIdle = 0, kConnecting = 1, kConnected = 2, kAnnounced = 3,
                            kClosing = 4 };

class DirectoryClient : public net::ConnectionHandler {
 public:
  // population gives the number of chat connections; save writes the
  // configuration after a new directory ID.
  DirectoryClient(net::ConnectionManager& transport, Settings& settings,
                  std::function<std::uint16_t()> population, std::function<void()> save);
  ~DirectoryClient() override;

  // Writes the profile page and connects to the directory server, unless
  // an exchange is under way.
  void Update();
  // Brings the next update forward to at most seconds from now, and looks
  // at the live-info file in the next pass.
  void UpdateSoon(std::int64_t seconds);
  // One pass: the live-info file, the schedule, closing, time limits, the
  // announcement and the replies.
  void Poll();

  DirectoryState state() const { return state_; }
  std::int64_t next_update() const { return next_update_; }

  int OnAccept(net::Connection&) override { return 0; }
  void OnLost(net::Connection& connection) override;
  void OnConnected(net::Connection& connection) override;
  void OnRemoved(net::Connection& connection) override;

  // The "SvId" payload for the current settings.
  std::vector<std::uint8_t> Announcement() const;

 private:
  void Send(const char (&type)[5], const std::vector<std::uint8_t>& payload);
  void Receive();
  void Close(std::int64_t now);

  net::ConnectionManager& transport_;
  Settings& settings_;
  std::function<std::uint16_t()> population_;
  std::function<void()> save_;
  DirectoryState state_ = DirectoryState::kIdle;
  bool close_request_ = false;
  net::Connection* connection_ = nullptr;
  std::int64_t next_update_ = 0;
  std::int64_t next_live_info_ = 0;
  int last_live_population_ = -1;
  std::vector<std::uint8_t> received_;
};

}  // namespace zanth::directory
