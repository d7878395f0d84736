// User lists and the group, privilege and command tables.
#include <vector>

#include "core/log.h"
#include "core/result.h"
#include "protocol/bytes.h"
#include "protocol/handlers.h"
#include "protocol/wire.h"
#include "rooms/occupancy.h"

namespace zanth::protocol {

using users::UserRecord;

int HandleUserList(Site& site, UserRecord& user, const Message&) {
  const users::GroupRecord& group = site.GroupOf(user);
  bool hidden = group.Has(users::kHiddenRooms);
  bool locked = group.Has(users::kLockedRooms);
  user.Send(TypeCode("Rmls"), rooms::RoomListPayload(site.rooms, hidden));
  PayloadWriter w;
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
  StoreU32(w.bytes().data(), count);
  user.Send(TypeCode("Ulls"), w.bytes());
  site.users.Subscribe(user);
  return kOk;
}

int HandleUserListStop(Site& site, UserRecord& user, const Message&) {
  site.users.Unsubscribe(user);
  return kOk;
}

int HandleGroupList(Site& site, UserRecord& user, const Message& message) {
  LogUser tag = user.log_user();
  Log(&tag, "Cnsle", "group list");
  site.groups.ReplaceFromPayload(message.payload, message.size);
  site.SaveGroups();
  return kOk;
}

int HandleGroupListRequest(Site& site, UserRecord& user, const Message&) {
  user.Send(TypeCode("GrLs"), site.groups.ListPayload());
  return kOk;
}

int HandlePrivilegeNamesRequest(Site&, UserRecord& user, const Message&) {
  user.Send(TypeCode("PrLs"), users::BitTablePayload(users::kPrivilegeTable));
  return kOk;
}

int HandleCommandNamesRequest(Site&, UserRecord& user, const Message&) {
  user.Send(TypeCode("CmLs"), users::BitTablePayload(users::kCommandTable));
  return kOk;
}

}  // namespace zanth::protocol
