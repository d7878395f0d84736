// Talk, whisper, room messages, moves, appearance and the data relay
// between signed-on clients.
#include "rooms/room.h"
#include "session_fixture.h"
#include "users/user.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {


TEST_F(SessionTest, TalkReachesTheWholeRoomSpeakerIncluded) {
  StartServer(Rooms("<room id=\"200\" name=\"far\" desc=\"f\" src=\"f\"/>"));
  auto a = SignOn("A");
  auto b = SignOn("B");
  client::Ident far_ident;
  far_ident.room = 200;
  auto far = SignOn("Far", far_ident);
  ASSERT_EQ(0, a->SendTalk("hello room"));
  for (ChatClient* c : {a.get(), b.get()}) {
    client::Speech s = ExpectTalk(*c);
    EXPECT_EQ(IdOf(*a), s.speaker);
    EXPECT_EQ("hello room", s.text);
  }
  EXPECT_TRUE(NothingOf(*far, TypeCode("Talk")));
}

TEST_F(SessionTest, AtSignIsRefusedOnlyInNoSpoofRooms) {
  StartServer(Rooms("<room id=\"200\" name=\"strict\" nospoof=\"yes\" desc=\"s\" src=\"s\"/>"));
  auto a = SignOn("A");
  ASSERT_EQ(0, a->SendTalk("@100,100 hi"));
  EXPECT_EQ("@100,100 hi", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendRoomRequest(200));
  Expect(*a, TypeCode("RmEn"));
  ASSERT_EQ(0, a->SendTalk("@100,100 hi"));
  client::Speech s = ExpectTalk(*a);
  EXPECT_EQ(0u, s.speaker);
  EXPECT_EQ("No spoofing", s.text);
}

TEST_F(SessionTest, CommandLineGoesToTheInterpreterNotTheRoom) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  b->ReceiveAll(100ms);
  ASSERT_EQ(0, a->SendTalk("'HELP"));
  client::Speech s = ExpectTalk(*a);
  EXPECT_EQ(0u, s.speaker);
  EXPECT_EQ("Unknown command. Use 'help for a list of commands.", s.text);
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "`help"));
  Expect(*a, TypeCode("LMsg"));
  EXPECT_TRUE(NothingOf(*b, TypeCode("Talk")));
  EXPECT_TRUE(NothingOf(*b, TypeCode("xTlk"), 100ms));
}

TEST_F(SessionTest, WhisperEchoesOnceAndReachesKnownTargets) {
  StartServer(Rooms("<room id=\"200\" name=\"far\" desc=\"f\" src=\"f\"/>"));
  auto a = SignOn("Alice");
  auto b = SignOn("B");
  client::Ident far_ident;
  far_ident.room = 200;
  far_ident.colour = 0x00FF00;
  auto far = SignOn("Far", far_ident);
  a->ReceiveAll(100ms);
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b), 0xDEADBEEF, IdOf(*far)}, "psst"));
  client::Speech echo = ExpectTalk(*a, TypeCode("xTlk"));
  EXPECT_EQ("psst", echo.text);
  EXPECT_TRUE(NothingOf(*a, TypeCode("xTlk")));  // one echo only
  client::Speech near = ExpectTalk(*b, TypeCode("xTlk"));
  EXPECT_EQ(IdOf(*a), near.speaker);
  client::CrossRoomWhisper cross;
  ASSERT_TRUE(client::DecodeCrossRoomWhisper(Expect(*far, TypeCode("CrTk")).payload, &cross));
  EXPECT_EQ(IdOf(*a), cross.speaker);
  EXPECT_EQ("Alice", cross.name);
  EXPECT_EQ(0xCCCC00u, cross.colour);
  EXPECT_EQ("psst", cross.text);
}

TEST_F(SessionTest, NoWhisperRoomRefusesRankOneOnly) {
  StartServer(Rooms("<room id=\"200\" name=\"quiet\" nowhisper=\"yes\" desc=\"q\" src=\"q\"/>"));
  client::Ident ident;
  ident.room = 200;
  auto a = SignOn("A", ident);
  auto b = SignOn("B", ident);
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "psst"));
  EXPECT_EQ("Whispers are not permitted in this room", ExpectTalk(*a).text);
  EXPECT_TRUE(NothingOf(*b, TypeCode("xTlk")));
  // Rank 2 passes.
  server_->Run([](protocol::Site& site) {
    std::vector<std::uint8_t> groups = site.groups.ListPayload();
    wire::PayloadWriter w;
    w.U16(1).U16(0).Fixed("Staffer", 34).U16(2).U32(0x103).U32(7);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "psst"));
  EXPECT_EQ("psst", ExpectTalk(*b, TypeCode("xTlk")).text);
}

TEST_F(SessionTest, WhisperToUserRejectingWhispersIsRefused) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("Bea");
  server_->Run([&](protocol::Site& site) { site.users.Find(IdOf(*b))->flags |= users::kRejectsWhispers; });
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "psst"));
  EXPECT_EQ("psst", ExpectTalk(*a, TypeCode("xTlk")).text);
  EXPECT_EQ("Bea is not accepting whispers", ExpectTalk(*a).text);
  EXPECT_TRUE(NothingOf(*b, TypeCode("xTlk")));
}

TEST_F(SessionTest, GaggedUserIsSilencedWithoutReply) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  server_->Run([&](protocol::Site& site) { site.users.Find(IdOf(*a))->flags |= users::kGagged; });
  a->ReceiveAll(100ms);
  ASSERT_EQ(0, a->SendTalk("hello"));
  ASSERT_EQ(0, a->SendTalk("'help"));
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "psst"));
  EXPECT_TRUE(NothingOf(*a, TypeCode("Talk")));
  EXPECT_TRUE(NothingOf(*b, TypeCode("Talk"), 100ms));
  EXPECT_TRUE(NothingOf(*b, TypeCode("xTlk"), 100ms));
}

TEST_F(SessionTest, RoomMessageComesFromTheServer) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  ASSERT_EQ(0, a->SendRoomMessage("announcement"));
  client::Speech s = ExpectTalk(*b);
  EXPECT_EQ(0u, s.speaker);
  EXPECT_EQ("announcement", s.text);
}

TEST_F(SessionTest, MovesAreClampedAndTheMoverToldOnlyWhenForced) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  a->ReceiveAll(100ms);
  ASSERT_EQ(0, a->SendMove(1000, 5));
  client::UserMove move;
  ASSERT_TRUE(client::DecodeUserMove(Expect(*a, TypeCode("UsMv")).payload, &move));
  EXPECT_EQ(490, move.x);
  EXPECT_EQ(10, move.y);
  ASSERT_TRUE(client::DecodeUserMove(Expect(*b, TypeCode("UsMv")).payload, &move));
  EXPECT_EQ(490, move.x);
  ASSERT_EQ(0, a->SendMove(200, 200));
  ASSERT_TRUE(client::DecodeUserMove(Expect(*b, TypeCode("UsMv")).payload, &move));
  EXPECT_EQ(200, move.x);
  EXPECT_TRUE(NothingOf(*a, TypeCode("UsMv")));  // not forced: the mover knows

  server_->Run([&](protocol::Site& site) { site.users.Find(IdOf(*a))->flags |= users::kPinned; });
  ASSERT_EQ(0, a->SendMove(50, 60));
  ASSERT_TRUE(client::DecodeUserMove(Expect(*a, TypeCode("UsMv")).payload, &move));
  EXPECT_EQ(490, move.x);  // the pin position
  EXPECT_EQ(368, move.y);
}

TEST_F(SessionTest, Moves3DStorePositionAndRotation) {
  StartServer(Rooms("<room id=\"300\" name=\"cube\" is3D=\"yes\" desc=\"c\" src=\"c\"/>"));
  client::Ident ident;
  ident.room = 300;
  client::SignOnResult result;
  auto a = SignOn("A", ident, &result);
  auto b = SignOn("B", ident);
  std::array<float, 12> pose;
  for (int i = 0; i < 12; ++i) pose[static_cast<std::size_t>(i)] = 0.5f * static_cast<float>(i + 1);
  ASSERT_EQ(0, a->SendMove3D(pose));
  client::UserMove3D moved;
  ASSERT_TRUE(client::DecodeUserMove3D(Expect(*b, TypeCode("Mv3D")).payload, &moved));
  EXPECT_EQ(IdOf(*a), moved.user);
  EXPECT_FLOAT_EQ(0.5f, moved.pose[0]);
  EXPECT_FLOAT_EQ(1.5f, moved.pose[2]);
  EXPECT_FLOAT_EQ(0.0f, moved.pose[3]);  // the second vector is not stored
  EXPECT_FLOAT_EQ(3.5f, moved.pose[6]);
  EXPECT_FLOAT_EQ(0.0f, moved.pose[9]);
}

TEST_F(SessionTest, AppearanceChangesAreAnnounced) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  client::UserValue value;
  ASSERT_EQ(0, a->SendFace(7));
  ASSERT_TRUE(client::DecodeUserFace(Expect(*b, TypeCode("FNum")).payload, &value));
  EXPECT_EQ(7, value.value);
  ASSERT_EQ(0, a->SendColour(0));
  ASSERT_TRUE(client::DecodeUserColour(Expect(*b, TypeCode("FRGB")).payload, &value));
  EXPECT_EQ(0xCCCC00, value.value);
  ASSERT_EQ(0, a->SendVoice(-3));
  ASSERT_TRUE(client::DecodeUserVoice(Expect(*b, TypeCode("Voic")).payload, &value));
  EXPECT_EQ(-3, value.value);
  ASSERT_EQ(0, a->SendFaceImage("smile.png"));
  client::UserFaceImage image;
  ASSERT_TRUE(client::DecodeUserFaceImage(Expect(*b, TypeCode("FImg")).payload, &image));
  EXPECT_EQ("smile.png", image.image);
  // Freeman has no "Wear badge": the toggle is ignored.
  ASSERT_EQ(0, a->SendBadge());
  EXPECT_TRUE(NothingOf(*b, TypeCode("Badg")));
  // A newcomer gets the face image of those already there.
  client::SignOnResult result;
  auto c = SignOn("C", {}, &result);
  bool saw = false;
  for (const Message& m : result.messages) {
    if (m.type == TypeCode("FImg") && client::DecodeUserFaceImage(m.payload, &image)) {
      saw = image.user == IdOf(*a) && image.image == "smile.png";
    }
  }
  EXPECT_TRUE(saw);
}

TEST_F(SessionTest, DataRelayToRoomGlobalAndTargets) {
  StartServer(Rooms("<room id=\"200\" name=\"far\" desc=\"f\" src=\"f\"/>"));
  auto a = SignOn("A");
  auto b = SignOn("B");
  client::Ident far_ident;
  far_ident.room = 200;
  auto far = SignOn("Far", far_ident);
  ASSERT_EQ(0, a->SendData("game", false, {}, {1, 2, 3}));
  client::DataMessage data;
  ASSERT_TRUE(client::DecodeData(Expect(*b, TypeCode("Data")).payload, &data));
  EXPECT_EQ(IdOf(*a), data.sender);
  EXPECT_EQ("game", data.tag);
  EXPECT_TRUE(NothingOf(*far, TypeCode("Data")));
  EXPECT_TRUE(NothingOf(*a, TypeCode("Data"), 100ms));
  ASSERT_EQ(0, a->SendData("game", true, {}, {4}));
  EXPECT_EQ("You do not have permission to send global data messages", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendData("direct", false, {IdOf(*far), IdOf(*a)}, {9}));
  ASSERT_TRUE(client::DecodeData(Expect(*far, TypeCode("Data")).payload, &data));
  EXPECT_EQ("direct", data.tag);
  Expect(*a, TypeCode("Data"));  // listed senders get their own copy
}

TEST_F(SessionTest, UserListShowsVisibleRoomsAndSubscribes) {
  StartServer();
  auto a = SignOn("A");
  client::Ident jailed;
  jailed.room = -1;
  auto b = SignOn("B", jailed);  // in the hidden timeout room
  ASSERT_EQ(0, a->SendUserListRequest());
  std::vector<client::RoomSummary> rooms;
  ASSERT_TRUE(client::DecodeRoomList(Expect(*a, TypeCode("Rmls")).payload, &rooms));
  EXPECT_EQ(1u, rooms.size());
  std::vector<client::UserListEntry> list;
  ASSERT_TRUE(client::DecodeUserList(Expect(*a, TypeCode("Ulls")).payload, &list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ("A", list[0].name);
  EXPECT_EQ(100, list[0].room);
  // A now gets updates; the hidden room shows as room 0 to a Freeman.
  client::UserListEntry update;
  ASSERT_EQ(0, b->SendRoomRequest(100));
  ASSERT_TRUE(client::DecodeUserListUpdate(Expect(*a, TypeCode("UlUd")).payload, &update));
  EXPECT_EQ(IdOf(*b), update.id);
  EXPECT_EQ(100, update.room);
  ASSERT_EQ(0, b->SendRoomRequest(-1));
  ASSERT_TRUE(client::DecodeUserListUpdate(Expect(*a, TypeCode("UlUd")).payload, &update));
  EXPECT_EQ(0, update.room);
  ASSERT_EQ(0, a->SendUserListStop());
  ASSERT_EQ(0, a->SendTalk("sync"));  // the stop is handled once this comes back
  EXPECT_EQ("sync", ExpectTalk(*a).text);
  ASSERT_EQ(0, b->SendRoomRequest(100));
  EXPECT_TRUE(NothingOf(*a, TypeCode("UlUd")));
}

}  // namespace
}  // namespace zanth::testing
