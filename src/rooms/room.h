// The room record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "core/intrusive_list.h"
#include "props/prop_id.h"
#include "users/user.h"

namespace zanth::rooms {

// Room flags, with the attribute names of the room element.
inline constexpr std::uint32_t kGate = 0x0001;
inline constexpr std::uint32_t kMembers = 0x0002;
inline constexpr std::uint32_t kTimeout = 0x0004;
inline constexpr std::uint32_t kPrivate = 0x0008;
inline constexpr std::uint32_t kHidden = 0x0010;
inline constexpr std::uint32_t kStaff = 0x0020;
inline constexpr std::uint32_t kNoLooseProps = 0x0040;
inline constexpr std::uint32_t kNoPaint = 0x0080;
inline constexpr std::uint32_t kNoWhisper = 0x0100;
inline constexpr std::uint32_t kNoCyborg = 0x0200;
inline constexpr std::uint32_t kNoSpoof = 0x0400;
inline constexpr std::uint32_t kIs3D = 0x0800;

inline constexpr std::int16_t kEntryStart = 44;
inline constexpr std::size_t kRoomNameLimit = 64;
inline constexpr std::size_t kRoomTextLimit = 511;

using OccupantList = IntrusiveList<users::UserRecord, &users::UserRecord::occupant_link_>;

// What creating or updating a room sets.
struct RoomFields {
  std::uint16_t id = 0;
  std::uint32_t flags = 0;
  std::int16_t max_occupancy = 16;
  std::int16_t width = 512;
  std::int16_t height = 384;
  std::string name;
  std::string description;
  std::string file_name;
};

struct LooseProp {
  props::PropId id{};
  std::int16_t x = 0;
  std::int16_t y = 0;
};

struct SpotState {
  std::uint8_t kind = 0;
  std::int16_t state = 0;
  std::int16_t spot = 0;
};

struct RoomRecord {
  explicit RoomRecord(const RoomFields& fields) { Apply(fields); }
  ~RoomRecord() {
    while (users::UserRecord* u = occupants.front()) occupants.Remove(*u);
  }
  RoomRecord(const RoomRecord&) = delete;
  RoomRecord& operator=(const RoomRecord&) = delete;

  // Copies the fields in, cutting texts to their fields.
  void Apply(const RoomFields& fields);
  bool Has(std::uint32_t flag) const { return (flags & flag) != 0; }
  std::int16_t occupant_count() const { return static_cast<std::int16_t>(occupants.size()); }
  bool closed() const { return locked || Has(kPrivate); }

  ListNode<RoomRecord> link_;
  std::uint16_t id = 0;
  std::uint32_t flags = 0;
  bool locked = false;
  std::int16_t max_occupancy = 16;
  std::int16_t width = 512;
  std::int16_t height = 384;
  std::int16_t entry_x = kEntryStart;
  std::int16_t entry_y = kEntryStart;
  std::string name;
  std::string description;
  std::string file_name;
  OccupantList occupants;  // newest first
  std::vector<LooseProp> loose_props;  // drop order
  std::vector<SpotState> spot_states;  // newest first
  // Rooms whose lock concerns entrants of this one (not owned).
  std::vector<RoomRecord*> links;
};

}  // namespace zanth::rooms
