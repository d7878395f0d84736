// Entering and leaving rooms: which room a request leads to, the admission
// rules, what the entrant and the occupants are told, and delivery of a
// message to a whole room.
#pragma once

#include <cstdint>
#include <vector>

#include "props/prop_cache.h"
#include "rooms/room_registry.h"
#include "users/group_table.h"
#include "users/user_registry.h"

namespace zanth::rooms {

// What room operations need of the rest of the site.
struct RoomContext {
  RoomRegistry& rooms;
  users::UserRegistry& users;
  const users::GroupTable& groups;
  props::PropCache& cache;
};

struct EntryRights {
  bool full_rooms = false;
  bool member_rooms = false;
  bool staff = false;
  bool locked_rooms = false;
};
EntryRights RightsOf(const users::GroupRecord& group);

inline constexpr std::int16_t kGateRequest = 0;
inline constexpr std::int16_t kTimeoutRequest = -1;

// The whole change of room for a room request (0 = a gate, -1 = the timeout
// room). With force, the pinned and timeout restrictions do not apply (used
// when a room is deleted under its occupants).
void RoomRequest(RoomContext& ctx, users::UserRecord& user, std::int16_t n, bool force = false);

// Places user in the room that n leads to. Returns 0 and *out, -1 when
// refused or already there, kNoSuchRoom when no room has id n.
int Enter(RoomContext& ctx, users::UserRecord& user, std::int16_t n, const EntryRights& rights,
          RoomRecord** out);

// Removes user from room; nothing happens when it is not an occupant.
void Leave(RoomContext& ctx, RoomRecord& room, users::UserRecord& user);

// True when listener muted speaker and the speaker does not outrank it.
bool IsMuted(RoomContext& ctx, const users::UserRecord& speaker,
             const users::UserRecord& listener);

// Sends a message to every occupant of room in occupant order, except skip.
// With failure_log, a send that fails is logged with that text.
void SendToRoom(RoomContext& ctx, const users::UserRecord* speaker, RoomRecord& room,
                std::uint32_t type, const std::vector<std::uint8_t>& payload,
                const users::UserRecord* skip, bool allow_compression = true,
                const char* failure_log = nullptr);

// "UlUd" for user to every user-update subscriber; the room id is 0 when
// leaving, and for recipients that may not see a hidden or locked room.
void SendUserListUpdate(RoomContext& ctx, const users::UserRecord& user, bool leaving);

// "RlUd" with the room's summary to every room list subscriber.
void SendRoomListUpdate(RoomContext& ctx, const RoomRecord& room);

// Unlinks room from the registry, moves every occupant out and frees it.
// Occupants go to a gate (timeout users to the timeout room) whatever their
// restrictions; one that no room admits is left without a room.
void DeleteRoom(RoomContext& ctx, RoomRecord& room);

// The position rule of movement: clamps (x, y) to the user's current room,
// or the pin position for a pinned user. Returns true when it changed the
// requested point.
bool PlaceInRoom(users::UserRecord& user, std::int16_t x, std::int16_t y);

}  // namespace zanth::rooms
