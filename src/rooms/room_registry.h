// The ordered registry of rooms. Its order is the order of room lists,
// listings, the configuration file, and of the gate and timeout searches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/intrusive_list.h"
#include "rooms/room.h"

namespace zanth::rooms {

using RoomList = IntrusiveList<RoomRecord, &RoomRecord::link_>;

inline constexpr std::size_t kRoomSummarySize = 70;

class RoomRegistry {
 public:
  RoomRegistry() = default;
  ~RoomRegistry();
  RoomRegistry(const RoomRegistry&) = delete;
  RoomRegistry& operator=(const RoomRegistry&) = delete;

  const RoomList& rooms() const { return rooms_; }
  std::size_t count() const { return rooms_.size(); }

  RoomRecord* Find(std::uint16_t id) const;
  // The id of the first room with exactly this name, or 0.
  std::uint16_t FindIdByName(const std::string& name) const;

  // Creates a room at the tail. Returns 0 and *out, or -1 ("Duplicate room
  // ID" is logged when the id is taken).
  int Append(const RoomFields& fields, RoomRecord** out = nullptr);
  // Creates a room right after `after`, or at the head when it is nullptr.
  int InsertAfter(RoomRecord* after, const RoomFields& fields, RoomRecord** out = nullptr);
  // The smallest id from 100 up that no room uses.
  std::uint16_t LowestFreeId() const;
  // Unlinks room and hands it back; its occupants must be moved out by the
  // caller before the record is destroyed.
  std::unique_ptr<RoomRecord> Unlink(RoomRecord& room);
  // Moves room n places (n < 0 towards the head).
  void Move(RoomRecord& room, int n);

  // Logs "Room list failed verify" when a back link is wrong.
  void Verify() const;

 private:
  std::unique_ptr<RoomRecord> Create(const RoomFields& fields) const;

  RoomList rooms_;
};

// The 70-byte summary entry of a room: id, occupants, closed, name[65].
void AppendRoomSummary(const RoomRecord& room, std::vector<std::uint8_t>* out);
// "Rmls": count, then the summaries; hidden rooms only with show_hidden.
std::vector<std::uint8_t> RoomListPayload(const RoomRegistry& registry, bool show_hidden);
// "RmIn": id, width, height, name[65], 1 pad, flags word. The word holds
// nocyborg in bit 0 and, when with_3d, is3D in bit 1.
std::vector<std::uint8_t> RoomInfoPayload(const RoomRecord& room, bool with_3d);
// "REIn": the 1616-byte room edit record.
std::vector<std::uint8_t> RoomEditPayload(const RoomRecord& room);
// A room record of "CrRm"/"UpRm" (592 bytes; a short one is read as if
// zero-filled). The file name serves as the description too.
RoomFields ParseRoomRecord(const std::uint8_t* payload, std::size_t size);

}  // namespace zanth::rooms
