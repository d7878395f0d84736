// Session admission and sign-on.
#include "protocol/session.h"

#include <cstring>
#include <string>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "platform/clock.h"
#include "protocol/handlers.h"
#include "rooms/room_state.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {
namespace {

using users::UserRecord;

constexpr std::int64_t kFirstMessageDeadline = 120;

const char kNameCharacters[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

bool IsDuplicate(const UserRecord& user, const UserRecord& other) {
  if (user.client_number != 0 && user.client_number == other.client_number) return true;
  return user.client_number == 0 && std::memcmp(user.uuid, other.uuid, sizeof user.uuid) == 0;
}

void SendZString(UserRecord& user, const char (&type)[5], const std::string& text) {
  wire::PayloadWriter w;
  w.ZString(text);
  user.Send(wire::TypeCode(type), w.bytes());
}

// The name of a group and a user number, as anonymous users are named.
std::string NumberedName(const users::GroupRecord& group, std::uint16_t number) {
  return FormatMessage("%s %d", group.name.c_str(), number);
}

// A refused account: the address and the name it was tried with, never
// the password, so that an owner can see who tries which account.
void LogRefusedAccount(Site& site, const UserRecord& user, const std::string& name) {
  const char* reason = site.accounts.FindByName(name) != nullptr ? "wrong password"
                                                                 : "no such account";
  LogAs(user, "AuthFail", "Account \"%s\" from %s: %s", name.c_str(),
        user.peer_address.c_str(), reason);
}

}  // namespace

int ChatSessions::OnAccept(net::Connection& connection) {
  Metrics& metrics = GetMetrics();
  ++(connection.websocket() ? metrics.browser_accepted : metrics.chat_accepted);
  auto record = std::make_unique<UserRecord>();
  record->ping_deadline = platform::GetClock().NowSeconds() + kFirstMessageDeadline;
  record->peer_address = connection.peer_address();
  UserRecord& user = site_.users.Add(std::move(record));
  user.number = site_.users.NextNumber();
  user.connection = &connection;
  user.state = users::SignOnState::kNew;
  if (user.peer_address == "127.0.0.1") user.flags = users::kLocal;
  user.name = NumberedName(site_.groups.Get(0), user.number);
  connection.user_data = &user;
  if (site_.directory_update_soon) site_.directory_update_soon(180);
  LogAs(user, "Connect", "#%d from %s", user.number, user.peer_address.c_str());

  // Only one connection per address may be waiting to identify itself.
  if (UserRecord* other = site_.users.ReplaceUnidentified(user)) {
    Terminate(*other);
    LogUser other_tag = other->log_user();
    Log(&other_tag, "Discnct", "multiple unknown connects");
  }
  if (LogVerbose()) site_.users.Verify();
  return kOk;
}

void ChatSessions::OnReceived(net::Connection& connection) {
  auto* user = static_cast<UserRecord*>(connection.user_data);
  if (user != nullptr) site_.users.MarkActive(*user);
}

void ChatSessions::OnLost(net::Connection& connection) {
  auto* user = static_cast<UserRecord*>(connection.user_data);
  if (user == nullptr || !site_.users.IsLive(user)) {
    site_.transport.RemoveConnection(&connection);
    return;
  }
  if (LogVerbose()) {
    LogAs(*user, "Discnct", "%d %s marked", user->number, user->peer_address.c_str());
  }
  users::MarkTerminating(*user);
}

void Terminate(UserRecord& user) {
  users::MarkTerminating(user);
  if (user.connection != nullptr) user.connection->MarkClosing();
}

void SendKill(UserRecord& user, std::uint16_t reason) {
  wire::PayloadWriter w;
  w.U16(reason);
  user.Send(wire::TypeCode("Kill"), w.bytes());
}

void SendPrivilegeNotices(Site& site, UserRecord& user) {
  const users::GroupRecord& group = site.GroupOf(user);
  wire::PayloadWriter perm;
  perm.U32(group.privileges);
  user.Send(wire::TypeCode("Perm"), perm.bytes());
  wire::PayloadWriter grup;
  grup.U16(group.rank).Fixed(group.name, users::kGroupNameSize);
  user.Send(wire::TypeCode("Grup"), grup.bytes());
}

void SendStaffNotice(Site& site, const UserRecord* subject, std::string_view text) {
  std::string whole(text.substr(0, kLogLineLimit));
  if (!whole.empty() && whole.back() == '\r') whole.back() = '\n';
  std::string_view notice(whole);
  notice = notice.substr(0, 255);
  for (UserRecord& user : site.users.users()) {
    if (site.GroupOf(user).Has(users::kReceivesPages)) users::SendServerNotice(user, notice);
  }
  LogUser tag;
  if (subject != nullptr) tag = subject->log_user();
  Log(subject != nullptr ? &tag : nullptr, "page", "%s", whole.c_str());
}

int HandleIdent(Site& site, UserRecord& user, const std::uint8_t* payload, std::size_t size) {
  LogDebug("Ident message");
  std::uint8_t record[kIdentSize] = {};
  std::memcpy(record, payload, size < kIdentSize ? size : kIdentSize);
  wire::PayloadReader r(record, kIdentSize);
  for (std::uint32_t& word : user.uuid) word = r.U32();
  user.client_number = r.U32();
  r.Skip(12);
  std::string nickname = r.Fixed(32);
  r.Skip(2);
  std::int16_t voice = r.I16();
  std::uint32_t colour = r.U32();
  std::uint16_t face = r.U16();
  r.Skip(30);
  std::int16_t requested_room = r.I16();
  std::uint16_t capabilities = r.U16();
  r.Skip(2);
  user.account_name = r.Fixed(33);
  std::string password = r.Fixed(33);
  LogDebug("UUID %08lX%08lX%08lX%08lX", static_cast<unsigned long>(user.uuid[0]),
           static_cast<unsigned long>(user.uuid[1]), static_cast<unsigned long>(user.uuid[2]),
           static_cast<unsigned long>(user.uuid[3]));
  LogDebug("Nick %s", nickname.c_str());
  LogDebug("Room Num %04lX", static_cast<unsigned long>(static_cast<std::uint16_t>(requested_room)));
  LogDebug("Capabilities %04lX", static_cast<unsigned long>(capabilities));
  if (capabilities & 1) user.flags |= users::kAcceptsCompressed;
  if (capabilities & 2) user.flags |= users::kWebClient;

  if (user.uuid[3] == 0) {
    users::MarkTerminating(user);
    return kOk;
  }
  std::uint32_t measures = 0;
  switch (site.bans.Check(user, &measures)) {
    case users::BanVerdict::kNone:
      break;
    case users::BanVerdict::kMeasures:
      user.flags |= measures;
      break;
    case users::BanVerdict::kRefused: {
      SendKill(user, kKillBanned);
      LogAs(user, "Discnct", "#%d %s is banned", user.number, user.peer_address.c_str());
      users::MarkTerminating(user);
      return kOk;
    }
  }
  // Sign-on puts users in group 1; a table replaced by one holding only
  // group 0 leaves group 0.
  user.group = site.groups.size() > 1 ? 1 : 0;
  std::uint16_t authenticated_group = 0;
  if (site.settings.private_site) {
    // Only account holders may enter a private site.
    if (user.account_name.empty()) {
      SendKill(user, kKillNoAccountName);
      users::MarkTerminating(user);
      return kOk;
    }
    const users::AccountRecord* account = site.accounts.Check(user.account_name, password);
    if (account == nullptr) {
      LogRefusedAccount(site, user, user.account_name);
      SendKill(user, kKillAuthFailed);
      users::MarkTerminating(user);
      return kOk;
    }
    authenticated_group = account->group;
  }
  for (UserRecord& other : site.users.users()) {
    if (&other == &user || !IsDuplicate(user, other)) continue;
    LogDebug("Found duplicate connection");
    if (site.GroupOf(other).Has(users::kMultipleConnections)) {
      user.group = other.group;
    } else {
      users::MarkTerminating(other);  // the new connection replaces it
    }
    break;
  }
  if (user.terminating()) return kOk;

  bool usable = !nickname.empty() && nickname.find_first_of(kNameCharacters) != std::string::npos;
  if (usable && !user.Has(users::kNameGagged)) {
    user.name = nickname.substr(0, users::kNameLimit);
  } else {
    user.name = NumberedName(site.GroupOf(user), user.number);
  }
  user.voice = voice;
  user.face = static_cast<std::int16_t>(face);
  user.colour = colour != 0 ? colour : users::kDefaultColour;
  LogDebug("Voice: %d", user.voice);

  const Settings& settings = site.settings;
  if (settings.rating_present) {
    wire::PayloadWriter w;
    for (std::int16_t value : settings.rating) w.I16(value);
    user.Send(wire::TypeCode("Rtng"), w.bytes());
  }
  SendZString(user, "PUrl", settings.prop_url);
  SendZString(user, "BUrl", settings.base_url);
  rooms::RoomContext ctx = site.room_context();
  rooms::RoomRequest(ctx, user,
                     user.Has(users::kInTimeout) ? rooms::kTimeoutRequest : requested_room);
  wire::PayloadWriter uare;
  uare.U32(user.id);
  user.Send(wire::TypeCode("UAre"), uare.bytes());
  SendPrivilegeNotices(site, user);
  if (!site.sounds.empty()) {
    LogDebug("Sending sound list");
    user.Send(wire::TypeCode("SdLs"), site.sounds.ListPayload());
  }
  SendZString(user, "SNme", settings.site_name);
  wire::PayloadWriter count;
  count.U16(site.users.count());
  user.Send(wire::TypeCode("UsCt"), count.bytes());
  wire::PayloadWriter caps;
  caps.U16(1);
  user.Send(wire::TypeCode("SvCp"), caps.bytes());

  LogAs(user, "SignOn", "%d \"%s\"", user.number, user.name.c_str());

  if (user.Has(users::kPinned) && user.room != nullptr) {
    rooms::PlaceInRoom(user, user.x, user.y);
    wire::PayloadWriter w;
    w.U32(user.id).I16(user.x).I16(user.y);
    rooms::SendToRoom(ctx, &user, *user.room, wire::TypeCode("UsMv"), w.bytes(), nullptr);
  }
  if (user.flags & users::kRestrictionFlags) {
    std::string text = user.name + " signed on, is";
    static const struct {
      std::uint32_t flag;
      const char* word;
    } kWords[] = {{users::kPinned, " pinned"},
                  {users::kGagged, " gagged"},
                  {users::kPropGagged, " prop-gagged"},
                  {users::kNameGagged, " name-gagged"},
                  {users::kInTimeout, " in timeout room"}};
    for (const auto& entry : kWords) {
      if (user.Has(entry.flag)) text += entry.word;
    }
    SendStaffNotice(site, &user, text);
  }
  rooms::SendUserListUpdate(ctx, user, false);
  LogDebug("User added to room");
  if (!user.account_name.empty() && user.group != authenticated_group && user.group != 0) {
    Authenticate(site, user, user.account_name, password);
  }
  return kOk;
}

void ChangeUserGroup(Site& site, UserRecord& user, std::uint16_t group) {
  user.group = group;
  users::SendServerNotice(
      user, FormatMessage("You now have %s privileges", site.GroupOf(user).name.c_str()));
  SendPrivilegeNotices(site, user);
}

void Authenticate(Site& site, UserRecord& user, const std::string& name,
                  const std::string& password) {
  if (site.GroupOf(user).rank == 0) {
    users::SendServerNotice(user, "Members only");
    return;
  }
  const users::AccountRecord* account = site.accounts.Check(name, password);
  if (account == nullptr) {
    LogRefusedAccount(site, user, name);
    users::SendServerNotice(user, "Invalid name or password");
    return;
  }
  user.group = account->group;
  user.account_name = account->name;
  const std::string& group_name = site.GroupOf(user).name;
  if (user.signed_on()) {
    users::SendServerNotice(user, FormatMessage("You now have %s privileges", group_name.c_str()));
  }
  SendPrivilegeNotices(site, user);
  LogAs(user, "Auth", "%s %s", name.c_str(), group_name.c_str());
  SendStaffNotice(site, &user,
                  FormatMessage("%s given %s privileges", user.name.c_str(), group_name.c_str()));
}

void RemoveUser(Site& site, UserRecord& user) {
  LogDebug("removing user");
  if (!site.users.IsLive(&user)) {
    if (LogVerbose()) site.users.Verify();
    return;
  }
  LogDebug("removing user from user list");
  std::unique_ptr<UserRecord> record = site.users.Unlink(user);
  if (site.directory_update_soon) site.directory_update_soon(180);
  rooms::RoomContext ctx = site.room_context();
  rooms::SendUserListUpdate(ctx, user, true);
  site.users.UnsubscribeRoomList(user);
  if (user.room != nullptr) {
    LogDebug("calling room leave");
    rooms::Leave(ctx, *user.room, user);
    user.room = nullptr;
    LogDebug("room leave returned");
  }
  rooms::ReleasePropList(ctx, user);
  if (site.on_user_leaving) site.on_user_leaving(user);
  CloseUploads(user);
  if (user.connection != nullptr) {
    user.connection->user_data = nullptr;
    site.transport.RemoveConnection(user.connection);
    user.connection = nullptr;
  }
  LogDebug("user removed");
  if (LogVerbose()) site.users.Verify();
}

void RemoveTerminated(Site& site) {
  std::uint64_t count = users::TerminationCount();
  if (count == site.swept_terminations) return;
  site.swept_terminations = count;
  for (UserRecord& user : site.users.users()) {
    if (!user.terminating()) continue;
    LogAs(user, "Discnct", "#%d %s", user.number, user.peer_address.c_str());
    RemoveUser(site, user);
  }
}

}  // namespace zanth::protocol
