// The command interpreter and the commands that are not moderation, paging
// or names.
#include <cstdio>

#include "commands/commands.h"
#include "config/config_file.h"
#include "core/log.h"
#include "core/result.h"
#include "protocol/session.h"
#include "rooms/room_files.h"
#include "rooms/room_state.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::commands {
namespace {

using users::UserRecord;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

void ListLine(UserRecord& user, const std::string& text) {
  wire::PayloadWriter w;
  w.ZString(text);
  user.Send(wire::TypeCode("LMsg"), w.bytes());
}

void Help(protocol::Site& site, UserRecord& user) {
  ListLine(user, "** Zanth commands");
  std::uint32_t mask = site.GroupOf(user).commands;
  for (const CommandEntry& entry : kCommandTable) {
    if ((entry.rights & mask) == 0) continue;
    if (entry.synopsis[0] != '\0') {
      ListLine(user, FormatMessage("%s %s - %s", entry.name, entry.synopsis, entry.description));
    } else {
      ListLine(user, FormatMessage("%s - %s", entry.name, entry.description));
    }
  }
  ListLine(user, " ");
}

void ListUsers(protocol::Site& site, UserRecord& user) {
  ListLine(user, " ");
  const users::GroupRecord& group = site.GroupOf(user);
  for (const UserRecord& other : site.users.users()) {
    const rooms::RoomRecord* room = other.room;
    bool hidden = room == nullptr || room->Has(rooms::kHidden);
    if (hidden && !group.Has(users::kHiddenRooms)) continue;
    std::string where = (room == nullptr || room->locked) ? "(private)" : room->name;
    if (room == nullptr) where = "(private)";
    if (group.Has(users::kUserIds)) {
      LogUser tag = other.log_user();
      ListLine(user, FormatMessage("%s %s - %s", LogUserField(&tag).c_str(), other.name.c_str(),
                                   where.c_str()));
    } else {
      ListLine(user, FormatMessage("%s - %s", other.name.c_str(), where.c_str()));
    }
  }
}

void ListRooms(protocol::Site& site, UserRecord& user) {
  for (const rooms::RoomRecord& room : site.rooms.rooms()) {
    if (room.Has(rooms::kHidden)) continue;
    if (room.Has(rooms::kPrivate)) {
      ListLine(user, FormatMessage("%s - (private)", room.name.c_str()));
    } else {
      ListLine(user, FormatMessage("%s - %d", room.name.c_str(), room.occupant_count()));
    }
  }
}

void GotoRoom(protocol::Site& site, UserRecord& user, const std::string& name) {
  std::uint16_t id = site.rooms.FindIdByName(name);
  if (id == 0) {
    users::SendServerNotice(user, "Room not found");
    return;
  }
  rooms::RoomContext ctx = site.room_context();
  rooms::RoomRequest(ctx, user, static_cast<std::int16_t>(id));
}

void MoveRoom(protocol::Site& site, UserRecord& user, const std::string& argument, int direction) {
  int n = config::ParseNumber(argument);
  if (n == 0 || user.room == nullptr) return;
  site.rooms.Move(*user.room, -direction * n);
  site.SaveConfiguration();
}

int GiveProp(protocol::Site& site, UserRecord& user, const std::vector<std::uint32_t>& targets) {
  if (!user.prop_list) return kOk;
  std::vector<std::uint8_t> payload = rooms::PropListPayload(site.props, user);
  int status = kOk;
  for (std::uint32_t id : targets) {
    if (UserRecord* target = site.users.Find(id)) {
      status = target->Send(wire::TypeCode("GPrp"), payload);
    }
  }
  return status;
}

void AddUser(protocol::Site& site, UserRecord& user, const std::string& argument) {
  users::AccountRecord added;
  switch (site.accounts.AddFromCommand(argument, site.groups, &added)) {
    case users::AccountList::Change::kDone: {
      LogAs(user, "NewAuth", "%s %s", added.name.c_str(), site.groups.Get(added.group).name.c_str());
      site.SaveAccounts();
      users::SendServerNotice(user, "Authentication record added");
      break;
    }
    case users::AccountList::Change::kBadPassword:
      users::SendServerNotice(user, "Passwords may only hold printable characters");
      break;
    default:
      break;  // an unknown group: nothing happens
  }
}

void ChangeGroup(protocol::Site& site, UserRecord& user, const std::string& argument) {
  users::AccountRecord changed;
  switch (site.accounts.ChangeGroupFromCommand(argument, site.groups, &changed)) {
    case users::AccountList::Change::kNoAccount:
      users::SendServerNotice(user, "Authentication record not found");
      return;
    case users::AccountList::Change::kDone:
      break;
    default:
      return;
  }
  LogAs(user, "AuthChn", "%s %s", changed.name.c_str(), site.groups.Get(changed.group).name.c_str());
  site.SaveAccounts();
  users::SendServerNotice(user, "Authentication record changed");
  for (UserRecord& other : site.users.users()) {
    if (other.signed_on() && other.account_name == changed.name) {
      protocol::ChangeUserGroup(site, other, changed.group);
    }
  }
}

}  // namespace

const CommandEntry kCommandTable[34] = {
    {kAll, "help", "", "List available commands"},
    {kAll, "list", "", "List everyone in this Zanth"},
    {kAll, "rlist", "", "List the rooms in this Zanth"},
    {kAll, "gotoroom", "<room name>", "Goto to another room"},
    {kAll, "nowhispers", "", "Reject whispers"},
    {kAll, "maywhisper", "", "Stop rejecting whispers"},
    {kAll, "mute", "", "Mute the target user"},
    {kAll, "unmute", "", "Stop muting the target user"},
    {0x00200000, "delroom", "", "Delete the current room"},
    {0x00200000, "uplist", "<num spots>", "Move the room up the room list n spots"},
    {0x00200000, "downlist", "<num spots>", "Move the room down the room list n spots"},
    {0x00000001, "name", "<desired name>", "Change your name"},
    {0x00000002, "page", "<message>", "Page the Knights"},
    {0x04000000, "repage", "<message>", "Respond to last page received"},
    {0x10000000, "kill", "", "Ban the current whisper target"},
    {0x20000000, "pin", "", "Pin the current whisper target"},
    {0x20000000, "unpin", "", "UnPin the current whisper target"},
    {0x40000000, "gag", "", "Gag the current whisper target"},
    {0x40000000, "ungag", "", "UnGag the current whisper target"},
    {0x40000000, "propgag", "", "PropGag the current whisper target"},
    {0x40000000, "unpropgag", "", "UnPropGag the current whisper target"},
    {0x80000000, "namegag", "", "Name gag the current whisper target"},
    {0x80000000, "unnamegag", "", "UnNamegag the current whisper target"},
    {0x00000004, "giveprop", "", "Give your current prop(s) to the current whisper target"},
    {0x01000000, "gmsg", "<message>", "Send message to all users"},
    {0x02000000, "adduser", "<user name> <password> <group>", "Add authenticated user"},
    {0x02000000, "authlist", "", "List the authenticated users"},
    {0x02000000, "chnggrp", "<user name> <group>", "Change users group"},
    {0x08000000, "timeout", "", "Send user to the timeout room"},
    {0x08000000, "release", "", "Release user from the timeout room"},
    {0x00100000, "purgeprops", "", "Purge the server prop cache"},
    {kAll, "clean", "", "Clean the room"},
    {0x00400000, "rev", "", "Display server revision"},
    {0x00100000, "purgemedia", "", "Purge unused media files"},
};

void InstallSiteHooks(protocol::Site& site) {
  site.run_command = [&site](users::UserRecord& user, std::string_view line,
                             const std::vector<std::uint32_t>& targets) {
    return RunCommand(site, user, line, targets);
  };
  site.change_name = [&site](users::UserRecord& user, std::string_view name) {
    return ChangeName(site, user, name);
  };
  site.on_user_leaving = [&site](users::UserRecord& user) { DropFromMuteLists(site, user); };
}

int RunCommand(protocol::Site& site, UserRecord& user, std::string_view line,
               const std::vector<std::uint32_t>& targets) {
  std::string text(line.substr(0, 254));
  LogDebug("handling command line %s", text.c_str());
  std::size_t space = text.find(' ');
  std::string word = text.substr(0, space);
  std::string argument = space == std::string::npos ? "" : text.substr(space + 1);
  int number = -1;
  for (int i = 0; i < 34; ++i) {
    if (word == kCommandTable[i].name) {
      number = i;
      break;
    }
  }
  if (number < 0) {
    users::SendServerNotice(user, "Unknown command. Use 'help for a list of commands.");
    return kOk;
  }
  if ((kCommandTable[number].rights & site.GroupOf(user).commands) == 0) {
    users::SendServerNotice(user, "You do not have permission to use that command");
    return kOk;
  }
  rooms::RoomContext ctx = site.room_context();
  switch (number) {
    case 0: Help(site, user); return kOk;
    case 1: ListUsers(site, user); return kOk;
    case 2: ListRooms(site, user); return kOk;
    case 3: GotoRoom(site, user, argument); return kOk;
    case 4:
      user.flags |= users::kRejectsWhispers;
      users::SendServerNotice(user, "You are rejecting whispers");
      return kOk;
    case 5:
      user.flags &= ~users::kRejectsWhispers;
      users::SendServerNotice(user, "You are accepting whispers");
      return kOk;
    case 6: Mute(site, user, targets); return kOk;
    case 7: Unmute(site, user, targets); return kOk;
    case 8:
      if (user.room != nullptr) {
        rooms::DeleteRoom(ctx, *user.room);
        site.SaveConfiguration();
      }
      return kOk;
    case 9: MoveRoom(site, user, argument, 1); return kOk;
    case 10: MoveRoom(site, user, argument, -1); return kOk;
    case 11: return ChangeName(site, user, argument);
    case 12: Page(site, user, argument); return kOk;
    case 13: Repage(site, user, argument); return kOk;
    case 14: return Moderate(site, user, Action::kKill, targets);
    case 15: return Moderate(site, user, Action::kPin, targets);
    case 16: return Moderate(site, user, Action::kUnpin, targets);
    case 17: return Moderate(site, user, Action::kGag, targets);
    case 18: return Moderate(site, user, Action::kUngag, targets);
    case 19: return Moderate(site, user, Action::kPropGag, targets);
    case 20: return Moderate(site, user, Action::kUnpropGag, targets);
    case 21: return Moderate(site, user, Action::kNameGag, targets);
    case 22: return Moderate(site, user, Action::kUnnameGag, targets);
    case 23: return GiveProp(site, user, targets);
    case 24:
      for (UserRecord& other : site.users.users()) users::SendServerNotice(other, argument);
      return kOk;
    case 25: AddUser(site, user, argument); return kOk;
    case 26:
      for (const std::string& l : site.accounts.ListLines(site.groups)) ListLine(user, l);
      return kOk;
    case 27: ChangeGroup(site, user, argument); return kOk;
    case 28: return Moderate(site, user, Action::kTimeout, targets);
    case 29: return Moderate(site, user, Action::kRelease, targets);
    case 30: {
      long n = site.props.Purge();
      users::SendServerNotice(user, FormatMessage("%ld props purged", n));
      LogAs(user, "purge", "props %ld", n);
      return kOk;
    }
    case 31:
      if (user.room != nullptr) {
        rooms::ClearLooseProps(ctx, *user.room);
        site.SaveConfiguration();
      }
      return kOk;
    case 32: users::SendServerNotice(user, kServerVersion); return kOk;
    case 33: {
      int n = 0;
      if (rooms::PurgeMedia(site.settings, site.rooms, site.sounds, &n) != 0) {
        users::SendServerNotice(user, "No files purged: a room description cannot be read");
        return kOk;
      }
      users::SendServerNotice(user, FormatMessage("%d files purged", n));
      LogAs(user, "purge", "media %d", n);
      return kOk;
    }
    default:
      return kOk;
  }
}

}  // namespace zanth::commands
