// User lists and the group, privilege and command tables.
#include <vector>

#include "core/log.h"
#include "core/result.h"
#include "protocol/handlers.h"
#include "protocol/session.h"
#include "rooms/occupancy.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {

using users::UserRecord;

int HandleUserList(Site& site, UserRecord& user, const Message&) {
  const users::GroupRecord& group = site.GroupOf(user);
  bool hidden = group.Has(users::kHiddenRooms);
  bool locked = group.Has(users::kLockedRooms);
  user.Send(wire::TypeCode("Rmls"), rooms::RoomListPayload(site.rooms, hidden));
  wire::PayloadWriter w;
  w.U32(0);
  std::uint32_t count = 0;
  for (const UserRecord& other : site.users.users()) {
    const rooms::RoomRecord* room = other.room;
    if (room == nullptr) continue;
    bool visible = (!room->Has(rooms::kHidden) && !room->locked) ||
                   (room->Has(rooms::kHidden) && hidden) || (room->locked && locked);
    if (!visible) continue;
    w.U32(other.id).Fixed(other.name, 34).U16(room->id);
    ++count;
  }
  wire::StoreU32(w.bytes().data(), count);
  user.Send(wire::TypeCode("Ulls"), w.bytes());
  site.users.Subscribe(user);
  return kOk;
}

int HandleUserListStop(Site& site, UserRecord& user, const Message&) {
  site.users.Unsubscribe(user);
  return kOk;
}

int HandleGroupList(Site& site, UserRecord& user, const Message& message) {
  LogAs(user, "Cnsle", "group list");
  site.groups.ReplaceFromPayload(message.payload, message.size);
  site.SaveGroups();
  // The account file names each account's group: rewritten with the new
  // names, so that a renamed group keeps its accounts at the next start.
  site.SaveAccounts();
  return kOk;
}

int HandleGroupListRequest(Site& site, UserRecord& user, const Message&) {
  user.Send(wire::TypeCode("GrLs"), site.groups.ListPayload());
  return kOk;
}

int HandlePrivilegeNamesRequest(Site&, UserRecord& user, const Message&) {
  user.Send(wire::TypeCode("PrLs"), users::BitTablePayload(users::kPrivilegeTable));
  return kOk;
}

int HandleCommandNamesRequest(Site&, UserRecord& user, const Message&) {
  user.Send(wire::TypeCode("CmLs"), users::BitTablePayload(users::kCommandTable));
  return kOk;
}

int HandleAuth(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::string name = r.ZString();
  std::string password = r.ZString();
  Authenticate(site, user, name, password);
  return kOk;
}

int HandleAccountListRequest(Site& site, UserRecord& user, const Message&) {
  user.Send(wire::TypeCode("AuLs"), site.accounts.ListPayload());
  return kOk;
}

int HandleAccountList(Site& site, UserRecord& user, const Message& message) {
  LogAs(user, "Cnsle", "auth list");
  site.accounts.ReplaceFromPayload(message.payload, message.size);
  // Users signed on under a listed account take its new group, in the
  // order the records came (the list holds them newest first).
  const std::vector<users::AccountRecord>& accounts = site.accounts.accounts();
  for (auto it = accounts.rbegin(); it != accounts.rend(); ++it) {
    const users::AccountRecord& account = *it;
    for (UserRecord& other : site.users.users()) {
      if (other.signed_on() && other.account_name == account.name &&
          other.group != account.group) {
        ChangeUserGroup(site, other, account.group);
      }
    }
  }
  site.SaveAccounts();
  return kOk;
}

int HandleBanListRequest(Site& site, UserRecord& user, const Message&) {
  user.Send(wire::TypeCode("BnLs"), site.bans.ListPayload());
  return kOk;
}

int HandleBanList(Site& site, UserRecord& user, const Message& message) {
  LogAs(user, "Cnsle", "ban list");
  site.bans.ApplyFromPayload(message.payload, message.size);
  site.SaveBans();
  return kOk;
}

int HandleName(Site& site, UserRecord& user, const Message& message) {
  if (!site.change_name) return kOk;
  wire::PayloadReader r(message.payload, message.size);
  return site.change_name(user, r.ZString());
}

int HandleSoundList(Site& site, UserRecord& user, const Message& message) {
  LogAs(user, "Cnsle", "sounds");
  site.sounds.ReplaceFromPayload(message.payload, message.size);
  if (!site.sounds.empty()) {
    std::vector<std::uint8_t> list = site.sounds.ListPayload();
    for (UserRecord& other : site.users.users()) {
      if (other.signed_on()) other.Send(wire::TypeCode("SdLs"), list);
    }
  }
  site.SaveConfiguration();
  return kOk;
}

}  // namespace zanth::protocol
