// Everything the session handlers work on: settings, transport, groups,
// users, rooms and sounds, and the pass-wide values of the dispatcher.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "net/connection_manager.h"
#include "props/prop_cache.h"
#include "rooms/occupancy.h"
#include "rooms/room_registry.h"
#include "users/accounts.h"
#include "users/ban_list.h"
#include "users/group_table.h"
#include "users/sound_list.h"
#include "users/user_registry.h"

namespace zanth::protocol {

struct Site {
  Site(Settings& s, net::ConnectionManager& t) : settings(s), transport(t) {}
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  rooms::RoomContext room_context() { return {rooms, users, groups, props}; }
  const users::GroupRecord& GroupOf(const users::UserRecord& user) const {
    return groups.Get(user.group);
  }
  // Rewrites the configuration file after a persistent change.
  void SaveConfiguration() {
    if (save_configuration) save_configuration();
  }
  // The binary and XML files of groups, accounts and bans in the data
  // directory, each written whole after a change.
  std::string GroupsPath() const { return settings.data_dir + "groups"; }
  std::string AccountsPath() const { return settings.data_dir + "passwds"; }
  std::string BansPath() const { return settings.data_dir + "banlist"; }
  void SaveGroups() { (void)groups.Save(GroupsPath()); }
  void SaveAccounts() { (void)accounts.Save(AccountsPath(), groups); }
  void SaveBans() { (void)bans.Save(BansPath()); }

  Settings& settings;
  net::ConnectionManager& transport;
  users::GroupTable groups;
  users::UserRegistry users;
  rooms::RoomRegistry rooms;
  users::SoundList sounds;
  users::AccountList accounts;
  users::BanList bans;
  props::PropCache props;
  std::function<void()> save_configuration;
  // The command interpreter: a command line (without its command character)
  // and the whisper targets it came with. Returns the command's status.
  std::function<int(users::UserRecord&, std::string_view, const std::vector<std::uint32_t>&)>
      run_command;

  // Runs a directory update now (site information changed), or within the
  // given seconds (a user arrived or left).
  std::function<void()> directory_update;
  std::function<void(std::int64_t)> directory_update_soon;
  // A client's name change request.
  std::function<int(users::UserRecord&, std::string_view)> change_name;
  // The user who most recently paged without receiving pages (0: none).
  std::uint32_t last_pager = 0;
  // What a user leaving must undo in others' records (mute lists).
  std::function<void(users::UserRecord&)> on_user_leaving;

  // The connection count last sent in "UsCt", and when to look again.
  std::uint16_t last_sent_count = 0;
  std::int64_t next_count_time = 0;
  // The pass walks every user once a second (keep-alive probes and
  // deadlines run in whole seconds), and in between only the users that
  // received bytes; the second of the last full walk.
  std::int64_t last_full_walk = -1;
  // users::TerminationCount() at the last sweep of terminated users.
  std::uint64_t swept_terminations = 0;
};

}  // namespace zanth::protocol
