// Rooms end to end: admission refusals, entry points, room lists, room
// authoring and what it writes to the configuration file, and groups.
#include "rooms/room.h"
#include "session_fixture.h"
#include "users/user.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {


// A group table whose group 1 is a staff group with every privilege.
void MakeEveryoneStaff(protocol::Site& site) {
  wire::PayloadWriter w;
  w.U16(1).U16(0).Fixed("Lord", 34).U16(100).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
  site.groups.ReplaceFromPayload(w.data(), w.size());
}

TEST_F(SessionTest, AdmissionRefusalsAreNotices) {
  StartServer(Rooms(
      "<room id=\"200\" name=\"tiny\" maxocc=\"1\" desc=\"t\" src=\"t\"/>"
      "<room id=\"201\" name=\"club\" members=\"yes\" desc=\"c\" src=\"c\"/>"
      "<room id=\"202\" name=\"shut\" desc=\"s\" src=\"s\"/>"));
  // Freeman has "Member rooms"; a table without it makes the members room
  // refuse.
  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;
    w.U16(1).U16(0).Fixed("Guest", 34).U16(1).U32(0).U32(7);
    site.groups.ReplaceFromPayload(w.data(), w.size());
    site.rooms.Find(202)->locked = true;
  });
  client::Ident in_tiny;
  in_tiny.room = 200;
  auto first = SignOn("First", in_tiny);
  auto c = SignOn("Guest");
  c->ReceiveAll(100ms);
  const std::pair<std::int16_t, const char*> cases[] = {
      {200, "Sorry, the room is full"},
      {201, "Members only"},
      {202, "The room is locked"},
      {101, "Staff only"},
  };
  for (const auto& [room, notice] : cases) {
    ASSERT_EQ(0, c->SendRoomRequest(room));
    client::Speech s = ExpectTalk(*c);
    EXPECT_EQ(0u, s.speaker);
    EXPECT_EQ(notice, s.text) << room;
  }
  EXPECT_TRUE(NothingOf(*c, TypeCode("Room")));  // never moved
}

TEST_F(SessionTest, GateFallbackPlacesPastCapacity) {
  StartServer("<room id=\"100\" name=\"gate\" gate=\"yes\" maxocc=\"1\" desc=\"g\" src=\"g\"/>");
  auto a = SignOn("A");
  client::SignOnResult result;
  auto b = SignOn("B", {}, &result);
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Find(result.messages, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(100, info.id);
}

TEST_F(SessionTest, UnknownRoomAtSignOnFallsBackToTheGate) {
  StartServer();
  client::Ident ident;
  ident.room = 4321;
  client::SignOnResult result;
  auto a = SignOn("A", ident, &result);
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Find(result.messages, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(100, info.id);
  EXPECT_TRUE(server_->WaitForLog("Error -43 (no such room) changing user room"));
}

TEST_F(SessionTest, ChangingRoomsTellsBothRoomsAndSubscribers) {
  StartServer(Rooms("<room id=\"200\" name=\"far\" desc=\"f\" src=\"f\"/>"));
  auto a = SignOn("A");
  auto b = SignOn("B");
  ASSERT_EQ(0, a->SendRoomListRequest());
  std::vector<client::RoomSummary> rooms;
  ASSERT_TRUE(client::DecodeRoomList(Expect(*a, TypeCode("Rmls")).payload, &rooms));
  ASSERT_EQ(2u, rooms.size());  // the hidden timeout room is left out
  EXPECT_EQ(2, rooms[0].occupants);
  b->ReceiveAll(100ms);
  ASSERT_EQ(0, b->SendRoomRequest(200));
  // The subscriber hears of the room entered, then of the room left.
  std::vector<Message> before;
  std::uint32_t left = 0;
  ASSERT_TRUE(client::DecodeU32(Expect(*a, TypeCode("RmLv"), &before).payload, &left));
  EXPECT_EQ(IdOf(*b), left);
  client::RoomSummary update;
  ASSERT_TRUE(client::DecodeRoomSummary(Find(before, TypeCode("RlUd")).payload, &update));
  EXPECT_EQ(200, update.id);
  EXPECT_EQ(1, update.occupants);
  ASSERT_TRUE(client::DecodeRoomSummary(Expect(*a, TypeCode("RlUd")).payload, &update));
  EXPECT_EQ(100, update.id);
  EXPECT_EQ(1, update.occupants);
  ASSERT_EQ(0, a->SendRoomListStop());
  ASSERT_EQ(0, a->SendTalk("sync"));
  ExpectTalk(*a);
  ASSERT_EQ(0, b->SendRoomRequest(100));
  EXPECT_TRUE(NothingOf(*a, TypeCode("RlUd")));
}

TEST_F(SessionTest, HiddenRoomsListedOnlyWithThePrivilege) {
  StartServer();
  auto a = SignOn("A");
  ASSERT_EQ(0, a->SendRoomListRequest());
  Message m = Expect(*a, TypeCode("Rmls"));
  std::vector<client::RoomSummary> rooms;
  ASSERT_TRUE(client::DecodeRoomList(m.payload, &rooms));
  EXPECT_EQ(1u, rooms.size());
  server_->Run(MakeEveryoneStaff);
  ASSERT_EQ(0, a->SendRoomListRequest());
  ASSERT_TRUE(client::DecodeRoomList(Expect(*a, TypeCode("Rmls")).payload, &rooms));
  EXPECT_EQ(2u, rooms.size());
}

TEST_F(SessionTest, RoomNameFreeIdAndEditInfo) {
  StartServer(Rooms("<room id=\"103\" name=\"third\" desc=\"d\" src=\"third.rmd\"/>"));
  auto a = SignOn("A");
  ASSERT_EQ(0, a->SendFreeRoomIdRequest());
  std::uint16_t free_id = 0;
  ASSERT_TRUE(client::DecodeU16(Expect(*a, TypeCode("ARmI")).payload, &free_id));
  EXPECT_EQ(102, free_id);
  ASSERT_EQ(0, a->SendRoomNameRequest(103));
  client::RoomSummary summary;
  ASSERT_TRUE(client::DecodeRoomSummary(Expect(*a, TypeCode("RmNm")).payload, &summary));
  EXPECT_EQ("third", summary.name);
  ASSERT_EQ(0, a->SendRoomNameRequest(999));  // no such room: no answer
  ASSERT_EQ(0, a->SendRoomInfoRequest());
  client::RoomEditInfo edit;
  ASSERT_TRUE(client::DecodeRoomEditInfo(Expect(*a, TypeCode("REIn")).payload, &edit));
  EXPECT_EQ(100, edit.id);
  EXPECT_EQ(static_cast<std::uint32_t>(rooms::kGate), edit.flags);
  EXPECT_EQ(512, edit.width);
  EXPECT_EQ(16, edit.max_occupancy);
}

TEST_F(SessionTest, CreateAndUpdateRoomsNeedTheirPrivileges) {
  StartServer();
  auto a = SignOn("A");
  client::RoomRecordFields room;
  room.id = 300;
  room.name = "Attic";
  room.file_name = "attic.rmd";
  room.width = 640;
  room.height = 480;
  room.max_occupancy = 20;
  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("CrRm"), room));
  EXPECT_EQ("You do not have room creation permission", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("UpRm"), room));
  EXPECT_EQ("You do not have authoring permission", ExpectTalk(*a).text);

  server_->Run(MakeEveryoneStaff);
  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("CrRm"), room));
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*a, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(300, info.id);  // moved into the new room
  EXPECT_EQ(640, info.width);
  std::string conf = WaitForConfig("name=\"Attic\"");
  std::size_t gate = conf.find("name=\"gate\"");
  std::size_t attic = conf.find("name=\"Attic\"");
  std::size_t timeout = conf.find("name=\"timeout\"");
  ASSERT_NE(std::string::npos, attic);
  EXPECT_LT(gate, attic);  // inserted right after the creator's room
  EXPECT_LT(attic, timeout);
  EXPECT_NE(std::string::npos, conf.find("maxocc=\"20\""));

  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("CrRm"), room));
  EXPECT_EQ("Room ID already in use", ExpectTalk(*a).text);

  room.name = "Loft";
  room.flags = rooms::kNoCyborg | rooms::kIs3D;
  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("UpRm"), room));
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*a, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ("Loft", info.name);
  EXPECT_EQ(1, info.flags);  // nocyborg only after an update
  EXPECT_TRUE(server_->WaitForLog("    Room room info"));
  conf = WaitForConfig("name=\"Loft\"");
  EXPECT_NE(std::string::npos, conf.find("name=\"Loft\""));
  EXPECT_NE(std::string::npos, conf.find("nocyborg=\"yes\""));
}

TEST_F(SessionTest, GroupTablesAndTheirReplacement) {
  StartServer();
  auto a = SignOn("A");
  ASSERT_EQ(0, a->SendEmpty(TypeCode("REGl")));
  EXPECT_EQ("You do not have console permission", ExpectTalk(*a).text);
  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;
    w.U16(2).U16(0).Fixed("Freeman", 34).U16(1).U32(0xFFFFFFFF).U32(7)
        .Fixed("Spare", 34).U16(0).U32(0).U32(0);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  ASSERT_EQ(0, a->SendEmpty(TypeCode("REPm")));
  std::vector<client::BitLabel> labels;
  ASSERT_TRUE(client::DecodeBitLabels(Expect(*a, TypeCode("PrLs")).payload, &labels));
  ASSERT_EQ(14u, labels.size());
  EXPECT_EQ("Locked rooms", labels.back().label);
  ASSERT_EQ(0, a->SendEmpty(TypeCode("RECm")));
  ASSERT_TRUE(client::DecodeBitLabels(Expect(*a, TypeCode("CmLs")).payload, &labels));
  EXPECT_EQ("server stats", labels.back().label);
  ASSERT_EQ(0, a->SendEmpty(TypeCode("REGl")));
  std::vector<client::Group> groups;
  ASSERT_TRUE(client::DecodeGroupList(Expect(*a, TypeCode("GrLs")).payload, &groups));
  ASSERT_EQ(2u, groups.size());
  EXPECT_EQ(1, groups[1].rank);  // rank 0 reads back as 1

  // A new table is written to the groups file at once.
  ASSERT_EQ(0, a->SendGroupList({{"Freeman", 1, 0xFFFFFFFF, 7}, {"Owner", 0, 1, 2}}));
  EXPECT_TRUE(server_->WaitForLog("   Cnsle group list"));
  ASSERT_EQ(0, a->SendEmpty(TypeCode("REGl")));
  ASSERT_TRUE(client::DecodeGroupList(Expect(*a, TypeCode("GrLs")).payload, &groups));
  ASSERT_EQ(2u, groups.size());
  EXPECT_EQ("Owner", groups[1].name);
  std::string file = ReadFileText(server_->data_dir() + "groups");
  EXPECT_EQ(2u + 3 * 44, file.size());
  EXPECT_NE(std::string::npos, file.find("Owner"));

  // An empty table leaves only group 0; signed-on users fall back to it.
  ASSERT_EQ(0, a->SendGroupList({}));
  EXPECT_TRUE(server_->WaitForLog("   Cnsle group list", 2));
  ASSERT_EQ(0, a->SendEmpty(TypeCode("REGl")));
  EXPECT_EQ("You do not have console permission", ExpectTalk(*a).text);
  client::SignOnResult result;
  auto b = SignOn("B", {}, &result);
  client::GroupNotice notice;
  ASSERT_TRUE(client::DecodeGroupNotice(Find(result.messages, TypeCode("Grup")).payload, &notice));
  EXPECT_EQ("Unregistered", notice.name);
}

TEST_F(SessionTest, HiddenRoomIdsInUpdatesDependOnTheRecipient) {
  StartServer();
  auto watcher = SignOn("Watcher");
  ASSERT_EQ(0, watcher->SendUserListRequest());
  Expect(*watcher, TypeCode("Ulls"));
  client::Ident jailed;
  jailed.room = -1;
  auto b = SignOn("B", jailed);
  client::UserListEntry update;
  ASSERT_TRUE(client::DecodeUserListUpdate(Expect(*watcher, TypeCode("UlUd")).payload, &update));
  EXPECT_EQ("B", update.name);
  EXPECT_EQ(0, update.room);
  watcher->ReceiveAll(200ms);  // the sign-on sends a second update
  server_->Run(MakeEveryoneStaff);
  ASSERT_EQ(0, b->SendRoomRequest(-1));  // already there: still an update
  ASSERT_TRUE(client::DecodeUserListUpdate(Expect(*watcher, TypeCode("UlUd")).payload, &update));
  EXPECT_EQ(101, update.room);
  b->Close();
  ASSERT_TRUE(client::DecodeUserListUpdate(Expect(*watcher, TypeCode("UlUd")).payload, &update));
  EXPECT_EQ(0, update.room);  // leaving
}

TEST_F(SessionTest, ConfigurationRoomsReadInOrderAndDuplicatesRefused) {
  StartServer(
      "<room id=\"100\" name=\"gate\" gate=\"no\" desc=\"g\" src=\"g\"/>"
      "<room id=\"105\" desc=\"x\" src=\"x\">Text Named</room>"
      "<room id=\"105\" name=\"twin\" desc=\"y\" src=\"y\"/>"
      "<room id=\"104\" name=\"last\" hidden=\"yes\" desc=\"z\" src=\"z\"/>");
  EXPECT_TRUE(server_->WaitForLog("   Error Failed to load room twin (105)"));
  auto a = SignOn("A");
  server_->Run(MakeEveryoneStaff);
  ASSERT_EQ(0, a->SendRoomListRequest());
  std::vector<client::RoomSummary> rooms;
  ASSERT_TRUE(client::DecodeRoomList(Expect(*a, TypeCode("Rmls")).payload, &rooms));
  ASSERT_EQ(3u, rooms.size());
  EXPECT_EQ("gate", rooms[0].name);
  EXPECT_EQ("Text Named", rooms[1].name);
  EXPECT_EQ(104, rooms[2].id);
  EXPECT_EQ(1, rooms[0].occupants);  // gate="no" is still a gate
  // A rewrite keeps the order and writes flags as "yes".
  client::RoomRecordFields room;
  room.id = 106;
  room.name = "new";
  ASSERT_EQ(0, a->SendRoomRecord(TypeCode("CrRm"), room));
  std::string conf = WaitForConfig("name=\"new\"");
  EXPECT_NE(std::string::npos, conf.find("gate=\"yes\""));
  EXPECT_NE(std::string::npos, conf.find("hidden=\"yes\""));
  EXPECT_LT(conf.find("name=\"gate\""), conf.find("name=\"new\""));
  EXPECT_LT(conf.find("name=\"new\""), conf.find("name=\"Text Named\""));
  EXPECT_EQ(std::string::npos, conf.find("twin"));
}

}  // namespace
}  // namespace zanth::testing
