// Room requests, room lists and room authoring.
#include <vector>

#include "core/log.h"
#include "core/result.h"
#include "protocol/handlers.h"
#include "rooms/occupancy.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {

using users::UserRecord;

int HandleRoomRequest(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  rooms::RoomContext ctx = site.room_context();
  rooms::RoomRequest(ctx, user, r.I16());
  return kOk;
}

int HandleRoomList(Site& site, UserRecord& user, const Message&) {
  bool hidden = site.GroupOf(user).Has(users::kHiddenRooms);
  user.Send(wire::TypeCode("Rmls"), rooms::RoomListPayload(site.rooms, hidden));
  site.users.SubscribeRoomList(user);
  return kOk;
}

int HandleRoomListStop(Site& site, UserRecord& user, const Message&) {
  site.users.UnsubscribeRoomList(user);
  return kOk;
}

int HandleRoomName(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  const rooms::RoomRecord* room = site.rooms.Find(r.U16());
  if (room == nullptr) return kOk;
  std::vector<std::uint8_t> payload;
  rooms::AppendRoomSummary(*room, &payload);
  user.Send(wire::TypeCode("RmNm"), payload);
  return kOk;
}

int HandleRoomEditInfo(Site&, UserRecord& user, const Message&) {
  if (user.room == nullptr) return kOk;
  user.Send(wire::TypeCode("REIn"), rooms::RoomEditPayload(*user.room));
  return kOk;
}

int HandleFreeRoomId(Site& site, UserRecord& user, const Message&) {
  wire::PayloadWriter w;
  w.U16(site.rooms.LowestFreeId());
  user.Send(wire::TypeCode("ARmI"), w.bytes());
  return kOk;
}

int HandleCreateRoom(Site& site, UserRecord& user, const Message& message) {
  if (!site.GroupOf(user).Has(users::kCreateRooms)) {
    users::SendServerNotice(user, "You do not have room creation permission");
    return kOk;
  }
  rooms::RoomFields fields = rooms::ParseRoomRecord(message.payload, message.size);
  rooms::RoomRecord* room = nullptr;
  if (site.rooms.InsertAfter(user.room, fields, &room) != 0) {
    users::SendServerNotice(user, "Room ID already in use");
    return kOk;
  }
  rooms::RoomContext ctx = site.room_context();
  rooms::RoomRequest(ctx, user, static_cast<std::int16_t>(room->id));
  LogAs(user, "Room", "create");
  site.SaveConfiguration();
  return kOk;
}

int HandleUpdateRoom(Site& site, UserRecord& user, const Message& message) {
  if (!site.GroupOf(user).Has(users::kAuthorRooms)) {
    users::SendServerNotice(user, "You do not have authoring permission");
    return kOk;
  }
  if (user.room == nullptr) return kOk;
  rooms::RoomRecord& room = *user.room;
  room.Apply(rooms::ParseRoomRecord(message.payload, message.size));
  rooms::RoomContext ctx = site.room_context();
  rooms::SendToRoom(ctx, nullptr, room, wire::TypeCode("RmIn"), rooms::RoomInfoPayload(room, false),
                    nullptr);
  LogAs(user, "Room", "room info");
  site.SaveConfiguration();
  return kOk;
}

}  // namespace zanth::protocol
