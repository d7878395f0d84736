// Groups: rank, privilege bits and command mask of every user, the fixed
// tables that name the bits, and the binary "groups" file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/bytes.h"

namespace zanth::users {

// Privilege bits.
inline constexpr std::uint32_t kChangeName = 0x00000001;
inline constexpr std::uint32_t kMemberAvatars = 0x00000002;
inline constexpr std::uint32_t kAuthorRooms = 0x00000004;
inline constexpr std::uint32_t kServerConsole = 0x00000008;
inline constexpr std::uint32_t kWearBadge = 0x00000010;
inline constexpr std::uint32_t kReceivesPages = 0x00000020;
inline constexpr std::uint32_t kSendServerMessages = 0x00000040;
inline constexpr std::uint32_t kMultipleConnections = 0x00000080;
inline constexpr std::uint32_t kMemberRooms = 0x00000100;
inline constexpr std::uint32_t kCreateRooms = 0x00000200;
inline constexpr std::uint32_t kLockedRooms = 0x01000000;
inline constexpr std::uint32_t kHiddenRooms = 0x10000000;
inline constexpr std::uint32_t kUserIds = 0x20000000;
inline constexpr std::uint32_t kFullRooms = 0x40000000;

struct BitLabel {
  std::uint32_t bit;
  const char* label;
};
// The privilege and command tables, 14 entries each, in their fixed order.
extern const BitLabel kPrivilegeTable[14];
extern const BitLabel kCommandTable[14];

inline constexpr std::size_t kGroupRecordSize = 44;
inline constexpr std::size_t kGroupNameSize = 34;

struct GroupRecord {
  std::string name;  // at most 33 characters
  std::uint16_t rank = 0;
  std::uint32_t privileges = 0;
  std::uint32_t commands = 0;

  bool staff() const { return rank > 1; }
  bool Has(std::uint32_t privilege) const { return (privileges & privilege) != 0; }
};

class GroupTable {
 public:
  // Starts with the default table.
  GroupTable();

  // Loads path; when there is no file the default table is built and
  // written. A file that exists but cannot be read, or is too short for its
  // count (or its count field), gives the system error or kFailed, with
  // *problem (may be nullptr) saying why, and is never written: the caller
  // must not go on with this table. Bytes past the records counted are left
  // over from longer tables and are ignored. Otherwise returns 0 or the
  // system error of a failed write.
  int Load(const std::string& path, std::string* problem = nullptr);
  // Replaces the table from the bytes of a "groups" file. A count past the
  // records present yields the records present.
  void LoadBytes(std::string_view bytes);
  // Writes the table to path (count, then 44-byte records, least
  // significant byte first). Returns 0 or the system error.
  int Save(const std::string& path) const;

  // The group of a number; a number past the table is group 0, so a table
  // replaced by a shorter one never leaves a user indexing past it.
  const GroupRecord& Get(std::uint16_t number) const;
  std::size_t size() const { return groups_.size(); }
  bool Contains(std::uint16_t number) const { return number < groups_.size(); }
  // The number of the first group with exactly this name, or -1.
  int FindByName(const std::string& name) const;

  // Replaces the table from a "GrLs" payload: group 0 fixed, then the
  // records in order. Records missing from a short payload are not made up.
  void ReplaceFromPayload(const std::uint8_t* payload, std::size_t size);
  // The "GrLs" reply: groups 1 to the last.
  std::vector<std::uint8_t> ListPayload() const;

  void SetDefaults();

 private:
  // Group 0 is always "Unregistered", rank 0, 0x1, 0x7; every other group of
  // rank 0 gets rank 1.
  void Normalize();

  std::vector<GroupRecord> groups_;
};

// "PrLs"/"CmLs" payload of a bit table.
std::vector<std::uint8_t> BitTablePayload(const BitLabel (&table)[14]);

}  // namespace zanth::users
