// Groups and their file.
#include "users/group_table.h"

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"

namespace zanth::users {
namespace {

std::uint16_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string FixedName(const std::uint8_t* p) {
  std::size_t n = 0;
  while (n < kGroupNameSize - 1 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

const BitLabel kPrivilegeTable[14] = {
    {kChangeName, "Change name"},     {kMemberAvatars, "Member avatars"},
    {kAuthorRooms, "Author rooms"},   {kCreateRooms, "Create rooms"},
    {kServerConsole, "Server console"}, {kWearBadge, "Wear badge"},
    {kReceivesPages, "Receives pages"}, {kMultipleConnections, "Multiple cnctns"},
    {kSendServerMessages, "Send server messages"}, {kFullRooms, "Full rooms"},
    {kMemberRooms, "Member rooms"},   {kUserIds, "User ID's"},
    {kHiddenRooms, "Hidden rooms"},   {kLockedRooms, "Locked rooms"},
};

const BitLabel kCommandTable[14] = {
    {0x00000001, "name"},
    {0x00000002, "page"},
    {0x04000000, "repage"},
    {0x10000000, "kill"},
    {0x20000000, "pin"},
    {0x40000000, "gag/propgag"},
    {0x80000000, "namegag"},
    {0x00000004, "giveprop"},
    {0x01000000, "gmsg"},
    {0x02000000, "adduser/authlist/chnggrp"},
    {0x08000000, "timeout"},
    {0x00100000, "purgeprops/purgemedia"},
    {0x00200000, "delroom/uplist/downlist"},
    {0x00400000, "server stats"},
};

GroupTable::GroupTable() { SetDefaults(); }

void GroupTable::SetDefaults() {
  groups_ = {
      {"Unregistered", 0, 0x00000001, 0x00000007},
      {"Freeman", 1, 0x00000103, 0x00000007},
      {"Lord", 100, 0xFFFFFFFF, 0xFFFFFFFF},
      {"Knight", 99, 0x500001B7, 0xEC200007},
  };
}

void GroupTable::Normalize() {
  if (groups_.empty()) groups_.emplace_back();
  groups_[0] = {"Unregistered", 0, 0x00000001, 0x00000007};
  for (std::size_t i = 1; i < groups_.size(); ++i) {
    if (groups_[i].rank == 0) groups_[i].rank = 1;
  }
}

const GroupRecord& GroupTable::Get(std::uint16_t number) const {
  return number < groups_.size() ? groups_[number] : groups_[0];
}

int GroupTable::FindByName(const std::string& name) const {
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    if (groups_[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int GroupTable::Load(const std::string& path, std::string* problem) {
  std::string bytes;
  int rc = platform::ReadWholeFile(path, &bytes);
  if (rc == ENOENT) {
    SetDefaults();
    return Save(path);
  }
  std::string damage;
  if (rc != 0) {
    damage = std::strerror(rc);
  } else if (bytes.size() < 2) {
    damage = "the file ends inside the count of groups";
    rc = kFailed;
  } else {
    std::size_t count = LoadLe16(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    std::size_t present = (bytes.size() - 2) / kGroupRecordSize;
    if (count > present) {
      // Read as far as it goes, a cut table would move accounts and users
      // of the missing groups to group 0, and the next save of the
      // accounts would keep them there.
      damage = FormatMessage("the file holds %zu of its %zu groups", present, count);
      rc = kFailed;
    }
  }
  if (rc != 0) {
    if (problem != nullptr) *problem = damage;
    return rc;
  }
  LoadBytes(bytes);
  return 0;
}

void GroupTable::LoadBytes(std::string_view bytes) {
  groups_.clear();
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (bytes.size() >= 2) {
    std::size_t count = LoadLe16(p);
    // A short file yields the records it really holds.
    std::size_t present = (bytes.size() - 2) / kGroupRecordSize;
    if (count > present) count = present;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* r = p + 2 + i * kGroupRecordSize;
      groups_.push_back({FixedName(r), LoadLe16(r + 34), LoadLe32(r + 36), LoadLe32(r + 40)});
    }
  }
  Normalize();
}

int GroupTable::Save(const std::string& path) const {
  std::string bytes(2 + groups_.size() * kGroupRecordSize, '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(bytes.data());
  StoreLe16(p, static_cast<std::uint16_t>(groups_.size()));
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    std::uint8_t* r = p + 2 + i * kGroupRecordSize;
    const GroupRecord& g = groups_[i];
    std::memcpy(r, g.name.data(), std::min(g.name.size(), kGroupNameSize - 1));
    StoreLe16(r + 34, g.rank);
    StoreLe32(r + 36, g.privileges);
    StoreLe32(r + 40, g.commands);
  }
  int rc = platform::WriteFileAtomically(path, bytes);
  if (rc != 0) LogError(rc, "writing %s", path.c_str());
  return rc;
}

void GroupTable::ReplaceFromPayload(const std::uint8_t* payload, std::size_t size) {
  wire::PayloadReader reader(payload, size);
  std::size_t count = reader.U16();
  reader.Skip(2);
  std::vector<GroupRecord> groups(1);
  for (std::size_t i = 0; i < count && reader.remaining() >= kGroupRecordSize; ++i) {
    GroupRecord g;
    g.name = reader.Fixed(kGroupNameSize);
    g.rank = reader.U16();
    g.privileges = reader.U32();
    g.commands = reader.U32();
    groups.push_back(std::move(g));
  }
  groups_ = std::move(groups);
  Normalize();
}

std::vector<std::uint8_t> GroupTable::ListPayload() const {
  wire::PayloadWriter w;
  w.U8(1).U8(0).U16(static_cast<std::uint16_t>(groups_.size() - 1));
  for (std::size_t i = 1; i < groups_.size(); ++i) {
    const GroupRecord& g = groups_[i];
    w.Fixed(g.name, kGroupNameSize).U16(g.rank).U32(g.privileges).U32(g.commands);
  }
  return std::move(w.bytes());
}

std::vector<std::uint8_t> BitTablePayload(const BitLabel (&table)[14]) {
  wire::PayloadWriter w;
  w.U16(14).U16(0);
  for (const BitLabel& entry : table) w.Fixed(entry.label, 36).U32(entry.bit);
  return std::move(w.bytes());
}

}  // namespace zanth::users
