// What a room's occupants share besides each other: loose props, spot
// states, the lock with its room links, and the prop lists users wear.
#pragma once

#include <cstdint>
#include <vector>

#include "rooms/occupancy.h"

namespace zanth::rooms {

inline constexpr std::size_t kLoosePropRecordSize = 64;
inline constexpr std::size_t kPropListRecordSize = 60;

// The 64-byte loose prop record: id, cached stamp and file, x, y.
void AppendLoosePropRecord(const props::PropCache& cache, const props::PropId& id,
                           std::int16_t x, std::int16_t y, std::vector<std::uint8_t>* out);
// "LpLs": count, padding, the records in list order.
std::vector<std::uint8_t> LoosePropListPayload(const props::PropCache& cache,
                                               const RoomRecord& room);

// Appends a loose prop (nothing in a nolooseprops room) and acquires it.
void AddLooseProp(RoomContext& ctx, RoomRecord& room, const props::PropId& id, std::int16_t x,
                  std::int16_t y);
// Releases every loose prop, empties the list and tells the room.
void ClearLooseProps(RoomContext& ctx, RoomRecord& room);

// The requests on the sender's room; each returns true when the
// configuration must be rewritten.
bool DropLooseProp(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                   std::size_t size);
bool MoveLooseProp(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                   std::size_t size);
bool DeleteLooseProp(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                     std::size_t size);
void SetSpotState(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                  std::size_t size);
void LockRoom(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
              std::size_t size);

// "Plst" of owner: user id, count, padding, 60-byte records.
std::vector<std::uint8_t> PropListPayload(const props::PropCache& cache,
                                          const users::UserRecord& owner);
// The owner's list to everyone in its room, the owner included.
void SendPropListToRoom(RoomContext& ctx, const users::UserRecord& owner);
// A client's "Plst": releases the old list, acquires or requests the new
// props, and shows the list to the room.
void SetPropList(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                 std::size_t size);
// Releases every prop of the user's list and drops the list.
void ReleasePropList(RoomContext& ctx, users::UserRecord& user);
// A client's "PDta": stores the prop, recounts its references and tells at
// most 20 rooms where it is worn that it is available.
void UploadProp(RoomContext& ctx, users::UserRecord& user, const std::uint8_t* payload,
                std::size_t size);

// What entering a room shows the entrant of its shared state, in order:
// the loose props (before the entrant is on the list).
void SendLoosePropsTo(RoomContext& ctx, const RoomRecord& room, users::UserRecord& entrant);
// The other occupants' prop lists, the locks of linked rooms and the spot
// states (after the entry is announced).
void SendRoomStateTo(RoomContext& ctx, const RoomRecord& room, users::UserRecord& entrant);
// A room became empty: its lock ends (linked rooms are told) and its spot
// states are discarded.
void ResetEmptyRoom(RoomContext& ctx, RoomRecord& room);

}  // namespace zanth::rooms
