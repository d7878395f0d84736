// Loose props, spot states, locks and prop lists.
#include "rooms/room_state.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/result.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::rooms {
namespace {

using wire::PayloadReader;
using wire::PayloadWriter;
using wire::TypeCode;
using users::UserRecord;

constexpr std::size_t kMaxPropAvailableRooms = 20;

props::PropId ReadId(PayloadReader& r) {
  props::PropId id{};
  r.Bytes(id.data(), id.size());
  return id;
}

void SendToOccupants(RoomContext& ctx, RoomRecord& room, const char (&type)[5],
                     const std::vector<std::uint8_t>& payload) {
  SendToRoom(ctx, nullptr, room, TypeCode(type), payload, nullptr);
}

std::vector<std::uint8_t> LockPayload(std::uint16_t room_id, std::uint8_t locked) {
  PayloadWriter w;
  w.U16(room_id).U8(locked).U8(0);
  return std::move(w.bytes());
}

}  // namespace

void AppendLoosePropRecord(const props::PropCache& cache, const props::PropId& id,
                           std::int16_t x, std::int16_t y, std::vector<std::uint8_t>* out) {
  const props::PropCacheEntry* entry = props::IsCustom(id) ? cache.Find(id) : nullptr;
  PayloadWriter w;
  w.Bytes(id.data(), id.size())
      .I32(entry != nullptr ? entry->stamp : 0)
      .Fixed(entry != nullptr ? entry->file_name : std::string(), 36)
      .I16(x)
      .I16(y);
  out->insert(out->end(), w.bytes().begin(), w.bytes().end());
}

std::vector<std::uint8_t> LoosePropListPayload(const props::PropCache& cache,
                                               const RoomRecord& room) {
  PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(room.loose_props.size())).U16(0);
  std::vector<std::uint8_t> payload = std::move(w.bytes());
  for (const LooseProp& prop : room.loose_props) {
    AppendLoosePropRecord(cache, prop.id, prop.x, prop.y, &payload);
  }
  return payload;
}

void AddLooseProp(RoomContext& ctx, RoomRecord& room, const props::PropId& id, std::int16_t x,
                  std::int16_t y) {
  if (room.Has(kNoLooseProps)) return;
  room.loose_props.push_back({id, x, y});
  ctx.cache.Acquire(id);
}

void ClearLooseProps(RoomContext& ctx, RoomRecord& room) {
  for (const LooseProp& prop : room.loose_props) ctx.cache.Release(prop.id);
  room.loose_props.clear();
  SendToOccupants(ctx, room, "LpLs", {0, 0, 0, 0});
}

bool DropLooseProp(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                   std::size_t size) {
  LogDebug("Received loose prop");
  if (user.room == nullptr) return false;
  RoomRecord& room = *user.room;
  if (room.Has(kNoLooseProps)) {
    users::SendServerNotice(user, "Loose props are not permitted in this room");
    return false;
  }
  PayloadReader r(payload, size);
  props::PropId id = ReadId(r);
  std::int32_t stamp = r.I32();
  std::int16_t x = r.I16();
  std::int16_t y = r.I16();
  if (props::IsCustom(id) && !ctx.cache.IsCurrent(id, stamp)) {
    user.Send(TypeCode("RPrp"), id.data(), id.size());
  }
  AddLooseProp(ctx, room, id, x, y);
  std::vector<std::uint8_t> record;
  AppendLoosePropRecord(ctx.cache, id, x, y, &record);
  SendToOccupants(ctx, room, "LPrp", record);
  return true;
}

bool MoveLooseProp(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                   std::size_t size) {
  if (user.room == nullptr) return false;
  RoomRecord& room = *user.room;
  std::uint8_t request[28] = {};
  std::memcpy(request, payload, std::min(size, sizeof request));
  PayloadReader r(request, sizeof request);
  props::PropId id = ReadId(r);
  std::uint16_t position = r.U16();
  std::int16_t x = r.I16();
  std::int16_t y = r.I16();
  if (position < room.loose_props.size()) {
    LogDebug("Found prop to move");
    LooseProp& prop = room.loose_props[position];
    if (prop.id == id) {
      prop.x = x;
      prop.y = y;
      SendToOccupants(ctx, room, "MLPr", std::vector<std::uint8_t>(request, request + 28));
    }
  }
  return true;
}

bool DeleteLooseProp(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                     std::size_t size) {
  if (user.room == nullptr) return false;
  RoomRecord& room = *user.room;
  std::uint8_t request[24] = {};
  std::memcpy(request, payload, std::min(size, sizeof request));
  PayloadReader r(request, sizeof request);
  props::PropId id = ReadId(r);
  std::uint16_t position = r.U16();
  if (position < room.loose_props.size()) {
    LogDebug("Found prop to delete");
    if (room.loose_props[position].id == id) {
      SendToOccupants(ctx, room, "DlPr", std::vector<std::uint8_t>(request, request + 24));
      ctx.cache.Release(id);
      room.loose_props.erase(room.loose_props.begin() + position);
    }
  }
  return true;
}

void SetSpotState(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                  std::size_t size) {
  if (user.room == nullptr) return;
  RoomRecord& room = *user.room;
  PayloadReader r(payload, size);
  std::uint8_t kind = r.U8();
  r.Skip(1);
  std::int16_t state = r.I16();
  std::int16_t spot = r.I16();
  auto found = std::find_if(room.spot_states.begin(), room.spot_states.end(),
                            [spot](const SpotState& s) { return s.spot == spot; });
  if (found == room.spot_states.end()) {
    room.spot_states.insert(room.spot_states.begin(), {kind, state, spot});
  } else if (found->state != state) {
    found->state = state;  // the stored kind stays
  } else {
    return;
  }
  PayloadWriter w;
  w.U8(kind).U8(0).I16(state).I16(spot);
  SendToOccupants(ctx, room, "SpSt", w.bytes());
}

void LockRoom(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload, std::size_t size) {
  if (user.room == nullptr) return;
  RoomRecord& room = *user.room;
  if (!ctx.groups.Get(user.group).Has(users::kMemberRooms)) {
    users::SendServerNotice(user, "Members only");
    return;
  }
  PayloadReader r(payload, size);
  std::uint8_t locked = r.U8();
  r.Skip(3);
  std::int16_t spot = r.I16();
  std::uint16_t linked_id = r.U16();
  room.locked = locked != 0;
  // The lock's spot state carries the byte sign-extended, least
  // significant byte first: the one field sent in that order.
  auto state = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(locked)));
  PayloadWriter spot_state;
  spot_state.U8(1).U8(0).U8(static_cast<std::uint8_t>(state)).U8(static_cast<std::uint8_t>(state >> 8))
      .I16(spot);
  SendToOccupants(ctx, room, "SpSt", spot_state.bytes());
  std::vector<std::uint8_t> lock = LockPayload(room.id, locked);
  SendToOccupants(ctx, room, "RmLk", lock);
  for (const UserRecord& occupant : room.occupants) SendUserListUpdate(ctx, occupant, false);
  RoomRecord* linked = linked_id != 0 ? ctx.rooms.Find(linked_id) : nullptr;
  if (linked != nullptr) {
    SendToOccupants(ctx, *linked, "RmLk", lock);
    if (std::find(room.links.begin(), room.links.end(), linked) == room.links.end()) {
      room.links.push_back(linked);
    }
    if (std::find(linked->links.begin(), linked->links.end(), &room) == linked->links.end()) {
      linked->links.push_back(&room);
    }
  }
  SendRoomListUpdate(ctx, room);
}

std::vector<std::uint8_t> PropListPayload(const props::PropCache& cache,
                                          const UserRecord& owner) {
  const std::vector<users::PropEntry>& list = *owner.prop_list;
  PayloadWriter w;
  w.U32(owner.id).U16(static_cast<std::uint16_t>(list.size())).U16(0);
  for (const users::PropEntry& entry : list) {
    const props::PropCacheEntry* cached = props::IsCustom(entry.id) ? cache.Find(entry.id) : nullptr;
    w.Bytes(entry.id.data(), entry.id.size())
        .I32(entry.stamp)
        .Fixed(cached != nullptr ? cached->file_name : std::string(), 36);
  }
  return std::move(w.bytes());
}

void SendPropListToRoom(RoomContext& ctx, const UserRecord& owner) {
  if (!owner.prop_list || owner.room == nullptr) return;
  LogDebug("Sending a users proplist to a room, %d props",
           static_cast<int>(owner.prop_list->size()));
  SendToRoom(ctx, &owner, *owner.room, TypeCode("Plst"), PropListPayload(ctx.cache, owner),
             nullptr);
}

void ReleasePropList(RoomContext& ctx, UserRecord& user) {
  if (!user.prop_list) return;
  for (const users::PropEntry& entry : *user.prop_list) ctx.cache.Release(entry.id);
  user.prop_list.reset();
}

void SetPropList(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                 std::size_t size) {
  LogDebug("Processing prop list request");
  ReleasePropList(ctx, user);
  LogDebug("  Creating user proplist pointer");
  PayloadReader r(payload, size);
  std::uint16_t count = r.U16();
  r.Skip(2);
  std::vector<users::PropEntry> list;
  // A count larger than the entries present takes what is there.
  for (std::uint16_t i = 0; i < count && r.remaining() >= 24; ++i) {
    users::PropEntry entry;
    entry.id = ReadId(r);
    entry.stamp = r.I32();
    if (props::IsCustom(entry.id)) {
      if (ctx.cache.IsCurrent(entry.id, entry.stamp)) {
        ctx.cache.Acquire(entry.id);
      } else {
        user.Send(TypeCode("RPrp"), entry.id.data(), entry.id.size());
      }
    }
    list.push_back(entry);
  }
  user.prop_list = std::move(list);
  SendPropListToRoom(ctx, user);
}

void UploadProp(RoomContext& ctx, UserRecord& user, const std::uint8_t* payload,
                std::size_t size) {
  (void)user;
  PayloadReader r(payload, size);
  props::PropId id = ReadId(r);
  std::int32_t stamp = r.I32();
  std::uint32_t length = r.U32();
  if (!r.ok() || !props::IsCustom(id)) return;
  // A length beyond the bytes that came, or beyond the size limit, refuses
  // the upload.
  if (length > r.remaining() || length > props::kMaxPropSize) return;
  std::string file_name;
  (void)ctx.cache.Store(id, stamp, r.current(), length, &file_name);

  ctx.cache.ResetReferences(id);
  for (const UserRecord& other : ctx.users.users()) {
    if (!other.signed_on() || !other.prop_list) continue;
    for (const users::PropEntry& entry : *other.prop_list) {
      if (entry.id == id) ctx.cache.Acquire(id);
    }
  }
  for (const RoomRecord& room : ctx.rooms.rooms()) {
    for (const LooseProp& prop : room.loose_props) {
      if (prop.id == id) ctx.cache.Acquire(id);
    }
  }

  LogDebug("Sending prop available message");
  std::vector<RoomRecord*> rooms;
  for (const UserRecord& other : ctx.users.users()) {
    if (rooms.size() >= kMaxPropAvailableRooms) break;
    if (other.room == nullptr || !other.prop_list) continue;
    bool wears = std::any_of(other.prop_list->begin(), other.prop_list->end(),
                             [&id](const users::PropEntry& e) { return e.id == id; });
    if (wears && std::find(rooms.begin(), rooms.end(), other.room) == rooms.end()) {
      rooms.push_back(other.room);
    }
  }
  PayloadWriter w;
  w.Bytes(id.data(), id.size()).ZString(file_name);
  for (RoomRecord* room : rooms) SendToOccupants(ctx, *room, "PAvl", w.bytes());
}

void SendLoosePropsTo(RoomContext& ctx, const RoomRecord& room, UserRecord& entrant) {
  if (room.loose_props.empty()) return;
  entrant.Send(TypeCode("LpLs"), LoosePropListPayload(ctx.cache, room));
}

void SendRoomStateTo(RoomContext& ctx, const RoomRecord& room, UserRecord& entrant) {
  for (const UserRecord& occupant : room.occupants) {
    if (&occupant == &entrant || !occupant.prop_list) continue;
    LogDebug("Sending one users proplist to another");
    entrant.Send(TypeCode("Plst"), PropListPayload(ctx.cache, occupant));
  }
  for (const RoomRecord* linked : room.links) {
    if (linked->locked) entrant.Send(TypeCode("RmLk"), LockPayload(linked->id, 1));
  }
  for (const SpotState& s : room.spot_states) {
    PayloadWriter w;
    w.U8(s.kind).U8(0).I16(s.state).I16(s.spot);
    entrant.Send(TypeCode("SpSt"), w.bytes());
  }
}

void ResetEmptyRoom(RoomContext& ctx, RoomRecord& room) {
  room.locked = false;
  std::vector<std::uint8_t> unlocked = LockPayload(room.id, 0);
  for (RoomRecord* linked : room.links) SendToOccupants(ctx, *linked, "RmLk", unlocked);
  room.spot_states.clear();
}

}  // namespace zanth::rooms
