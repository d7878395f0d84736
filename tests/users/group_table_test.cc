// Groups: the default table, the file, replacement from a client, and the
// bit tables.
#include "users/group_table.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/file.h"
#include "support/test_support.h"
#include "users/sound_list.h"
#include "users/user_registry.h"
#include "wire/bytes.h"

namespace zanth::users {
namespace {

std::vector<std::uint8_t> GroupListRequest(
    const std::vector<std::tuple<std::string, std::uint16_t, std::uint32_t, std::uint32_t>>& groups,
    std::uint16_t declared) {
  wire::PayloadWriter w;
  w.U16(declared).U16(0);
  for (const auto& [name, rank, privileges, commands] : groups) {
    w.Fixed(name, 34).U16(rank).U32(privileges).U32(commands);
  }
  return std::move(w.bytes());
}

void ExpectUnregistered(const GroupRecord& g) {
  EXPECT_EQ("Unregistered", g.name);
  EXPECT_EQ(0, g.rank);
  EXPECT_EQ(0x1u, g.privileges);
  EXPECT_EQ(0x7u, g.commands);
}

TEST(GroupTableTest, MissingFileGivesDefaultsAndWritesThem) {
  testing::TempDir dir;
  GroupTable table;
  ASSERT_EQ(0, table.Load(dir.File("groups")));
  ASSERT_EQ(4u, table.size());
  ExpectUnregistered(table.Get(0));
  EXPECT_EQ("Freeman", table.Get(1).name);
  EXPECT_EQ(0x103u, table.Get(1).privileges);
  EXPECT_EQ("Lord", table.Get(2).name);
  EXPECT_EQ(100, table.Get(2).rank);
  EXPECT_EQ(0x500001B7u, table.Get(3).privileges);
  EXPECT_EQ(0xEC200007u, table.Get(3).commands);
  std::string bytes;
  ASSERT_EQ(0, platform::ReadWholeFile(dir.File("groups"), &bytes));
  ASSERT_EQ(2u + 4 * 44, bytes.size());
  EXPECT_EQ(4, bytes[0]);  // count, least significant byte first
  EXPECT_EQ(0, bytes[1]);
  EXPECT_EQ("Freeman", std::string(bytes.data() + 2 + 44));
  EXPECT_EQ(99, static_cast<unsigned char>(bytes[2 + 3 * 44 + 34]));  // Knight's rank
}

TEST(GroupTableTest, FileWithAnotherGroupZeroStillYieldsUnregistered) {
  testing::TempDir dir;
  std::string bytes(2 + 2 * 44, '\0');
  bytes[0] = 2;
  bytes.replace(2, 5, "Admin");
  for (int i = 0; i < 8; ++i) bytes[2 + 36 + i] = '\xFF';  // all privileges and commands
  bytes.replace(2 + 44, 5, "Guest");                       // rank 0
  ASSERT_EQ(0, platform::WriteWholeFile(dir.File("groups"), bytes));
  GroupTable table;
  ASSERT_EQ(0, table.Load(dir.File("groups")));
  ASSERT_EQ(2u, table.size());
  ExpectUnregistered(table.Get(0));
  EXPECT_EQ("Guest", table.Get(1).name);
  EXPECT_EQ(1, table.Get(1).rank);
}

// A cut file would move the accounts of its missing groups to group 0:
// every cut length is refused and the file left as it is. Bytes past the
// records counted are what a shorter table leaves behind, and do no harm.
TEST(GroupTableTest, CutFileIsRefusedAndLeftAsItIs) {
  testing::TempDir dir;
  GroupTable table;
  ASSERT_EQ(0, table.Save(dir.File("groups")));
  std::string bytes;
  ASSERT_EQ(0, platform::ReadWholeFile(dir.File("groups"), &bytes));
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    ASSERT_EQ(0, platform::WriteWholeFile(dir.File("groups"), bytes.substr(0, cut)));
    GroupTable loaded;
    std::string problem;
    EXPECT_EQ(-1, loaded.Load(dir.File("groups"), &problem)) << cut;
    EXPECT_FALSE(problem.empty()) << cut;
    EXPECT_EQ(bytes.substr(0, cut), testing::ReadFileText(dir.File("groups"))) << cut;
  }
  ASSERT_EQ(0, platform::WriteWholeFile(dir.File("groups"), bytes.substr(0, 45 + 2)));
  std::string problem;
  GroupTable loaded;
  EXPECT_EQ(-1, loaded.Load(dir.File("groups"), &problem));
  EXPECT_EQ("the file holds 1 of its 4 groups", problem);

  ASSERT_EQ(0, platform::WriteWholeFile(dir.File("groups"), bytes + std::string(44, 'x')));
  ASSERT_EQ(0, loaded.Load(dir.File("groups"), &problem));
  EXPECT_EQ(4u, loaded.size());
  ASSERT_EQ(0, platform::MakeDirectory(dir.File("dir")));
  EXPECT_EQ(EISDIR, loaded.Load(dir.File("dir"), &problem));
  EXPECT_EQ("Is a directory", problem);
  EXPECT_TRUE(platform::DirectoryExists(dir.File("dir")));
}

TEST(GroupTableTest, ReplacementFromClient) {
  GroupTable table;
  std::vector<std::uint8_t> none = GroupListRequest({}, 0);
  table.ReplaceFromPayload(none.data(), none.size());
  ASSERT_EQ(1u, table.size());
  ExpectUnregistered(table.Get(0));

  std::vector<std::uint8_t> two =
      GroupListRequest({{"Member", 0, 0x103, 7}, {"Boss", 50, 0xFFFFFFFF, 0xFFFFFFFF}}, 2);
  table.ReplaceFromPayload(two.data(), two.size());
  ASSERT_EQ(3u, table.size());
  EXPECT_EQ(1, table.Get(1).rank);  // rank 0 read back as 1
  EXPECT_EQ("Boss", table.Get(2).name);

  // A count larger than the records sent takes only what is there.
  std::vector<std::uint8_t> short_list = GroupListRequest({{"Only", 5, 1, 1}}, 40);
  table.ReplaceFromPayload(short_list.data(), short_list.size() - 3);
  EXPECT_EQ(1u, table.size());
  table.ReplaceFromPayload(short_list.data(), short_list.size());
  EXPECT_EQ(2u, table.size());
}

TEST(GroupTableTest, NumberPastTheTableIsGroupZero) {
  GroupTable table;
  std::vector<std::uint8_t> none = GroupListRequest({}, 0);
  table.ReplaceFromPayload(none.data(), none.size());
  ExpectUnregistered(table.Get(3));
  ExpectUnregistered(table.Get(65535));
  EXPECT_FALSE(table.Contains(1));
}

TEST(GroupTableTest, ListAndBitTablePayloads) {
  GroupTable table;
  std::vector<std::uint8_t> list = table.ListPayload();
  ASSERT_EQ(4u + 3 * 44, list.size());
  EXPECT_EQ(1, list[0]);
  EXPECT_EQ(3, wire::LoadU16(list.data() + 2));
  EXPECT_EQ("Freeman", std::string(reinterpret_cast<const char*>(list.data() + 4)));
  std::vector<std::uint8_t> privileges = BitTablePayload(kPrivilegeTable);
  ASSERT_EQ(4u + 40 * 14, privileges.size());
  EXPECT_EQ(14, wire::LoadU16(privileges.data()));
  EXPECT_EQ("Change name", std::string(reinterpret_cast<const char*>(privileges.data() + 4)));
  EXPECT_EQ(kChangeName, wire::LoadU32(privileges.data() + 40));
  // The fourth entry is "Create rooms", out of bit order.
  EXPECT_EQ(kCreateRooms, wire::LoadU32(privileges.data() + 4 + 3 * 40 + 36));
  std::vector<std::uint8_t> commands = BitTablePayload(kCommandTable);
  EXPECT_EQ("delroom/uplist/downlist",
            std::string(reinterpret_cast<const char*>(commands.data() + 4 + 12 * 40)));
}

TEST(UserRegistryTest, NewestFirstUniqueIdsAndLookup) {
  UserRegistry registry;
  UserRecord& a = registry.Add(std::make_unique<UserRecord>());
  UserRecord& b = registry.Add(std::make_unique<UserRecord>());
  EXPECT_NE(0u, a.id);
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(&b, registry.users().front());
  EXPECT_EQ(&a, registry.Find(a.id));
  EXPECT_EQ(nullptr, registry.Find(0));
  registry.Subscribe(a);
  registry.Subscribe(b);
  EXPECT_EQ(&b, registry.subscribers().front());
  std::uint32_t a_id = a.id;
  std::unique_ptr<UserRecord> gone = registry.Unlink(a);
  ASSERT_NE(nullptr, gone);
  EXPECT_EQ(nullptr, registry.Find(a_id));
  EXPECT_EQ(1u, registry.subscribers().size());
  EXPECT_EQ(nullptr, registry.Unlink(*gone));  // not in the list: nothing
}

TEST(UserRegistryTest, ConnectionCounterWrapsAfter3000) {
  UserRegistry registry;
  std::uint16_t last = 0;
  for (int i = 0; i < 3000; ++i) last = registry.NextNumber();
  EXPECT_EQ(3000, last);
  EXPECT_EQ(0, registry.NextNumber());
  EXPECT_EQ(1, registry.NextNumber());
}

TEST(SoundListTest, PayloadRoundTripAndCuts) {
  SoundList sounds;
  EXPECT_TRUE(sounds.empty());
  sounds.Add(std::string(40, 'n'), "ding.wav");
  sounds.Add("bell", "bell.wav");
  std::vector<std::uint8_t> payload = sounds.ListPayload();
  ASSERT_EQ(8u + 132, payload.size());
  EXPECT_EQ(66u, wire::LoadU32(payload.data() + 4));
  SoundList copy;
  copy.ReplaceFromPayload(payload.data(), payload.size());
  ASSERT_EQ(2u, copy.sounds().size());
  EXPECT_EQ(std::string(32, 'n'), copy.sounds()[0].name);
  EXPECT_EQ("bell.wav", copy.sounds()[1].file);
  copy.ReplaceFromPayload(payload.data(), payload.size() - 1);  // second record cut short
  EXPECT_EQ(1u, copy.sounds().size());
}

}  // namespace
}  // namespace zanth::users
