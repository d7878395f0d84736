// Room entry, occupancy and departure.
#include "rooms/occupancy.h"

#include <algorithm>
#include <vector>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "rooms/room_state.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::rooms {
namespace {

using wire::TypeCode;
using users::UserRecord;

// Chooses the room for request n by one walk of the registry.
RoomRecord* ChooseRoom(const RoomRegistry& rooms, std::int16_t n) {
  for (RoomRecord& room : rooms.rooms()) {
    if (n == kGateRequest) {
      if (room.Has(kGate) && room.occupant_count() < room.max_occupancy) return &room;
    } else if (n == kTimeoutRequest) {
      if (room.Has(kTimeout)) return &room;
    } else if (room.id == static_cast<std::uint16_t>(n)) {
      return &room;
    }
  }
  if (n != kGateRequest) return nullptr;
  for (RoomRecord& room : rooms.rooms()) {
    if (room.Has(kGate)) return &room;
  }
  return rooms.rooms().front();
}

// The first failing admission rule's notice, or nullptr when admitted.
const char* AdmissionRefusal(const RoomRecord& room, std::int16_t n, const EntryRights& rights) {
  if (n != kGateRequest && room.occupant_count() >= room.max_occupancy && !rights.full_rooms) {
    return "Sorry, the room is full";
  }
  if (room.Has(kMembers) && !rights.member_rooms) return "Members only";
  if (room.locked && !rights.locked_rooms) return "The room is locked";
  if (room.Has(kStaff) && !rights.staff && n != kTimeoutRequest) return "Staff only";
  return nullptr;
}

void Advance(std::int16_t* value, int limit) {
  int next = *value + 44;
  *value = static_cast<std::int16_t>(next > limit ? kEntryStart : next);
}

}  // namespace

EntryRights RightsOf(const users::GroupRecord& group) {
  EntryRights rights;
  rights.full_rooms = group.Has(users::kFullRooms);
  rights.member_rooms = group.Has(users::kMemberRooms);
  rights.staff = group.staff();
  rights.locked_rooms = group.Has(users::kLockedRooms);
  return rights;
}

bool PlaceInRoom(UserRecord& user, std::int16_t x, std::int16_t y) {
  const RoomRecord* room = user.room;
  if (room == nullptr) {
    user.x = x;
    user.y = y;
    return false;
  }
  int right = room->width - 22;
  int bottom = room->height - 16;
  if (user.Has(users::kPinned)) {
    user.x = static_cast<std::int16_t>(right);
    user.y = static_cast<std::int16_t>(bottom);
    return true;
  }
  int nx = x, ny = y;
  if (nx > right) nx = right;
  if (nx < 10) nx = 10;
  if (ny > bottom) ny = bottom;
  if (ny < 10) ny = 10;
  user.x = static_cast<std::int16_t>(nx);
  user.y = static_cast<std::int16_t>(ny);
  return nx != x || ny != y;
}

bool IsMuted(RoomContext& ctx, const UserRecord& speaker, const UserRecord& listener) {
  if (std::find(listener.muted.begin(), listener.muted.end(), speaker.id) == listener.muted.end()) {
    return false;
  }
  return ctx.groups.Get(speaker.group).rank <= ctx.groups.Get(listener.group).rank;
}

void SendToRoom(RoomContext& ctx, const UserRecord* speaker, RoomRecord& room,
                std::uint32_t type, const std::vector<std::uint8_t>& payload,
                const UserRecord* skip, bool allow_compression, const char* failure_log) {
  // Talk is kept from listeners who muted the speaker.
  bool filter = speaker != nullptr && type == TypeCode("Talk");
  users::SharedFrame frame(type, payload.data(), payload.size(), allow_compression);
  for (UserRecord& occupant : room.occupants) {
    if (&occupant == skip) continue;
    if (filter && IsMuted(ctx, *speaker, occupant)) continue;
    if (int rc = frame.SendTo(occupant); rc != 0 && failure_log != nullptr) {
      LogError(rc, "%s", failure_log);
    } else if (rc == 0 && filter) {
      ++GetMetrics().talk_deliveries;
    }
  }
}

void SendRoomListUpdate(RoomContext& ctx, const RoomRecord& room) {
  std::vector<std::uint8_t> payload;
  AppendRoomSummary(room, &payload);
  for (UserRecord& user : ctx.users.room_list_subscribers()) user.Send(TypeCode("RlUd"), payload);
}

void SendUserListUpdate(RoomContext& ctx, const UserRecord& user, bool leaving) {
  const RoomRecord* room = leaving ? nullptr : user.room;
  for (UserRecord& recipient : ctx.users.subscribers()) {
    std::uint16_t room_id = room != nullptr ? room->id : 0;
    if (room != nullptr && (room->Has(kHidden) || room->locked)) {
      const users::GroupRecord& group = ctx.groups.Get(recipient.group);
      bool sees = (room->Has(kHidden) && group.Has(users::kHiddenRooms)) ||
                  (room->locked && group.Has(users::kLockedRooms));
      if (!sees) room_id = 0;
    }
    wire::PayloadWriter w;
    w.U32(user.id).Fixed(user.name, 34).U16(room_id);
    recipient.Send(TypeCode("UlUd"), w.bytes());
  }
}

int Enter(RoomContext& ctx, UserRecord& user, std::int16_t n, const EntryRights& rights,
          RoomRecord** out) {
  LogDebug("Adding user to room %d", n);
  RoomRecord* room = ChooseRoom(ctx.rooms, n);
  if (room == nullptr) return n != kGateRequest ? kNoSuchRoom : kFailed;
  if (room->occupants.Contains(user)) return kFailed;
  if (const char* refusal = AdmissionRefusal(*room, n, rights)) {
    users::SendServerNotice(user, refusal);
    return kFailed;
  }

  LogDebug("Sending room description");
  std::vector<std::uint8_t> description(room->description.begin(), room->description.end());
  description.push_back(0);
  user.Send(TypeCode("Room"), description);
  user.Send(TypeCode("RmIn"), RoomInfoPayload(*room, true));
  if (!room->occupants.empty()) {
    wire::PayloadWriter header;
    header.U16(static_cast<std::uint16_t>(room->occupant_count())).U16(0);
    std::vector<std::uint8_t> occupants = std::move(header.bytes());
    occupants.reserve(occupants.size() + room->occupants.size() * users::kUserSummarySize);
    for (const UserRecord& occupant : room->occupants) {
      LogDebug("Adding user to occ list %0lx %d %d %s", static_cast<unsigned long>(occupant.id),
               occupant.x, occupant.y, occupant.name.c_str());
      users::AppendUserSummary(occupant, &occupants);
    }
    user.Send(TypeCode("RmOc"), occupants);
    for (const UserRecord& occupant : room->occupants) {
      if (!occupant.face_image) continue;
      wire::PayloadWriter w;
      w.U32(occupant.id).ZString(*occupant.face_image);
      user.Send(TypeCode("FImg"), w.bytes());
    }
  }
  SendLoosePropsTo(ctx, *room, user);

  LogDebug("Adding user to room occupant list");
  // A user has one occupant link: it leaves the old room's list here, and
  // the old room is told once the entry is complete.
  if (user.room != nullptr) user.room->occupants.Remove(user);
  room->occupants.PushFront(user);
  LogDebug("Tracking record created");

  // The entry point is placed by the rule of the room being left.
  PlaceInRoom(user, room->entry_x, room->entry_y);
  Advance(&room->entry_x, room->width - 44);
  Advance(&room->entry_y, room->height - 20);

  LogDebug("Telling the room user has entered");
  std::vector<std::uint8_t> summary;
  users::AppendUserSummary(user, &summary);
  SendToRoom(ctx, nullptr, *room, TypeCode("RmEn"), summary, nullptr, true,
             "telling room user entered");
  LogDebug("Sending all the room occupants prop lists to new user");
  SendRoomStateTo(ctx, *room, user);
  room->locked = false;
  SendRoomListUpdate(ctx, *room);
  *out = room;
  return kOk;
}

namespace {

// What the room left behind is told, once the user is off its list.
void TellRoomLeft(RoomContext& ctx, RoomRecord& room, const UserRecord& user) {
  if (room.occupants.empty()) {
    ResetEmptyRoom(ctx, room);
  } else {
    wire::PayloadWriter w;
    w.U32(user.id);
    SendToRoom(ctx, nullptr, room, TypeCode("RmLv"), w.bytes(), nullptr);
  }
  SendRoomListUpdate(ctx, room);
}

}  // namespace

void Leave(RoomContext& ctx, RoomRecord& room, UserRecord& user) {
  if (!room.occupants.Contains(user)) return;
  room.occupants.Remove(user);
  TellRoomLeft(ctx, room, user);
}

void RoomRequest(RoomContext& ctx, UserRecord& user, std::int16_t n, bool force) {
  if (!force) {
    if (user.Has(users::kInTimeout) && n != kTimeoutRequest) return;
    if (user.Has(users::kPinned) && user.room != nullptr && n != kTimeoutRequest) return;
  }
  LogDebug("Setting user room");
  std::int16_t old_x = user.x, old_y = user.y;
  user.x = kEntryStart;
  user.y = kEntryStart;
  EntryRights rights = RightsOf(ctx.groups.Get(user.group));
  RoomRecord* entered = nullptr;
  RoomRecord* old_room = user.room;
  int rc = Enter(ctx, user, n, rights, &entered);
  if (rc == kOk) {
    user.room = entered;
    if (old_room != nullptr) TellRoomLeft(ctx, *old_room, user);
    SendPropListToRoom(ctx, user);
  } else if (user.room != nullptr) {
    user.x = old_x;
    user.y = old_y;
  } else if (Enter(ctx, user, kGateRequest, rights, &entered) == kOk) {
    user.room = entered;
    SendPropListToRoom(ctx, user);
  }
  if (rc != kOk && rc != kFailed) LogError(rc, "changing user room");
  SendUserListUpdate(ctx, user, false);
  if (LogVerbose()) ctx.rooms.Verify();
}

void DeleteRoom(RoomContext& ctx, RoomRecord& room) {
  LogDebug("Deleting room");
  LogDebug("Removing room from list");
  std::unique_ptr<RoomRecord> record = ctx.rooms.Unlink(room);
  if (record == nullptr) return;
  LogDebug("Emptying room");
  while (UserRecord* occupant = room.occupants.front()) {
    std::int16_t target = occupant->Has(users::kInTimeout) ? kTimeoutRequest : kGateRequest;
    RoomRequest(ctx, *occupant, target, true);
    if (occupant->room == &room) {
      // No room admits this user: it stays connected without a room rather
      // than keep a reference to the freed one.
      Leave(ctx, room, *occupant);
      occupant->room = nullptr;
      SendUserListUpdate(ctx, *occupant, false);
    }
  }
  // No other room may keep a link to the room that goes.
  for (RoomRecord& other : ctx.rooms.rooms()) {
    std::erase(other.links, &room);
  }
  LogDebug("Disposing room links");
  LogDebug("Disposing room pointer");
}

}  // namespace zanth::rooms
