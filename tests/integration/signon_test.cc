// Sign-on end to end: the order and contents of the sign-on messages, the
// naming rules, refusals, duplicates, keep-alive and hostile input.
#include <cstring>

#include "session_fixture.h"
#include "users/user.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

TEST_F(SessionTest, SignOnMessagesComeInOrderWithTheirContents) {
  StartServer();
  auto first = SignOn("Ann");
  client::SignOnResult result;
  client::Ident ident;
  ident.nickname = "Bob";
  ident.colour = 0x123456;
  auto second = SignOn("Bob", ident, &result);
  EXPECT_EQ((std::vector<std::string>{"PUrl", "BUrl", "Room", "RmIn", "RmOc", "RmEn", "UAre",
                                      "Perm", "Grup", "SNme", "UsCt", "SvCp"}),
            Types(result.messages));
  const auto& m = result.messages;
  std::string text;
  ASSERT_TRUE(client::DecodeZString(m[0].payload, &text));
  EXPECT_EQ("http://127.0.0.1/props/", text);
  ASSERT_TRUE(client::DecodeZString(m[2].payload, &text));
  EXPECT_EQ("gate.rmd", text);
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(m[3].payload, &info));
  EXPECT_EQ(100, info.id);
  EXPECT_EQ("gate", info.name);
  std::vector<client::UserSummary> occupants;
  ASSERT_TRUE(client::DecodeOccupants(m[4].payload, &occupants));
  ASSERT_EQ(1u, occupants.size());
  EXPECT_EQ("Ann", occupants[0].name);
  EXPECT_EQ(44, occupants[0].x);
  client::UserSummary me;
  ASSERT_TRUE(client::DecodeUserSummary(m[5].payload, &me));
  EXPECT_EQ(result.user_id, me.id);
  EXPECT_EQ("Bob", me.name);
  EXPECT_EQ(88, me.x);  // the second entrant
  EXPECT_EQ(0x123456u, me.colour);
  std::uint32_t perm = 0;
  ASSERT_TRUE(client::DecodeU32(m[7].payload, &perm));
  EXPECT_EQ(0x103u, perm);
  client::GroupNotice group;
  ASSERT_TRUE(client::DecodeGroupNotice(m[8].payload, &group));
  EXPECT_EQ("Freeman", group.name);
  EXPECT_EQ(1, group.rank);
  ASSERT_TRUE(client::DecodeZString(m[9].payload, &text));
  EXPECT_EQ("Test Site", text);
  std::uint16_t count = 0;
  ASSERT_TRUE(client::DecodeU16(m[10].payload, &count));
  EXPECT_EQ(2, count);
  // The occupant already there is told of the entrant.
  client::UserSummary entered;
  ASSERT_TRUE(client::DecodeUserSummary(Expect(*first, TypeCode("RmEn")).payload, &entered));
  EXPECT_EQ("Bob", entered.name);
  EXPECT_TRUE(server_->WaitForLog("  SignOn 2 \"Bob\""));
}

TEST_F(SessionTest, RatingAndSoundsJoinTheSignOn) {
  StartServer(InProcessServer::DefaultRooms() +
              "<rating nudity=\"1\" sex=\"2\" lang=\"3\" violence=\"4\"/>"
              "<sound src=\"ding.wav\">ding</sound>");
  client::SignOnResult result;
  auto c = SignOn("Ann", {}, &result);
  std::vector<std::string> types = Types(result.messages);
  ASSERT_FALSE(types.empty());
  EXPECT_EQ("Rtng", types.front());
  std::array<std::uint16_t, 4> rating{};
  for (const Message& m : result.messages) {
    if (m.type == TypeCode("Rtng")) {
      ASSERT_TRUE(client::DecodeRating(m.payload, &rating));
    }
  }
  EXPECT_EQ((std::array<std::uint16_t, 4>{1, 2, 3, 4}), rating);
  auto grup = std::find(types.begin(), types.end(), "Grup");
  ASSERT_NE(types.end(), grup);
  EXPECT_EQ("SdLs", *(grup + 1));
}

TEST_F(SessionTest, NamingRules) {
  StartServer();
  client::Ident ident;
  ident.nickname = "!!!";
  client::SignOnResult result;
  auto c = SignOn("", ident, &result);
  client::UserSummary me;
  for (const Message& m : result.messages) {
    if (m.type == TypeCode("RmEn")) {
      ASSERT_TRUE(client::DecodeUserSummary(m.payload, &me));
    }
  }
  EXPECT_EQ("Freeman 1", me.name);
  EXPECT_EQ(0xCCCC00u, me.colour);  // colour 0 becomes the default

  // A nickname filling its whole 32-byte field, with no NUL, is taken whole.
  auto raw = Connect();
  wire::PayloadWriter w;
  w.U32(1).U32(2).U32(3).U32(4).U32(0).Zeros(12);
  w.Bytes(std::string(32, 'N').data(), 32);
  w.U8('X').U8('X');  // reserved bytes right after the field
  w.Zeros(176 - w.size());
  ASSERT_EQ(0, raw->Send(TypeCode("Idn2"), w.bytes()));
  Message entry = Expect(*raw, TypeCode("RmEn"));
  ASSERT_TRUE(client::DecodeUserSummary(entry.payload, &me));
  EXPECT_EQ(std::string(32, 'N'), me.name);
}

TEST_F(SessionTest, ZeroFourthUuidWordIsDroppedWithoutAnswer) {
  StartServer();
  auto c = Connect();
  client::Ident ident;
  ident.uuid[3] = 0;
  ASSERT_EQ(0, c->SendIdent(ident));
  std::vector<Message> got = c->ReceiveAll(500ms, 5s);
  EXPECT_TRUE(Types(got).empty());
  EXPECT_TRUE(c->closed());
  EXPECT_TRUE(server_->WaitForLog("Discnct #1 127.1.0.1"));
}

TEST_F(SessionTest, DuplicateUuidReplacesTheOlderConnection) {
  StartServer();
  client::Ident ident;
  ident.nickname = "Twin";
  auto older = SignOn("Twin", ident, nullptr, true);
  auto newer = SignOn("Twin", ident, nullptr, true);
  Message m;
  for (int i = 0; i < 100 && !older->closed(); ++i) older->Receive(&m, 50ms);
  EXPECT_TRUE(older->closed());
  ASSERT_EQ(0, newer->SendTalk("still here"));
  EXPECT_EQ("still here", ExpectTalk(*newer).text);
}

TEST_F(SessionTest, SecondSilentConnectionFromOneAddressDropsTheFirst) {
  StartServer();
  ChatClient a, b;
  ASSERT_EQ(0, a.Connect("127.0.0.1", server_->chat_port(), "127.2.0.1"));
  ASSERT_TRUE(server_->WaitForLog("Connect #1 from 127.2.0.1"));
  ASSERT_EQ(0, b.Connect("127.0.0.1", server_->chat_port(), "127.2.0.1"));
  EXPECT_TRUE(server_->WaitForLog("Discnct multiple unknown connects"));
  Message m;
  for (int i = 0; i < 100 && !a.closed(); ++i) a.Receive(&m, 50ms);
  EXPECT_TRUE(a.closed());
  client::SignOnResult result;
  EXPECT_EQ(0, b.SignOn(client::Ident{}, 5s, &result));
}

TEST_F(SessionTest, SignedOnUserIsProbedFourTimesThenDropped) {
  StartServer();
  auto c = SignOn("Idle");
  c->ReceiveAll(100ms);
  const std::int64_t steps[] = {241, 121, 31, 31};
  for (std::int64_t step : steps) {
    server_->Advance(step);
    Expect(*c, TypeCode("Ping"));
  }
  server_->Advance(31);
  EXPECT_TRUE(server_->WaitForLog("Discnct timeout"));
  Message m;
  for (int i = 0; i < 100 && !c->closed(); ++i) c->Receive(&m, 50ms);
  EXPECT_TRUE(c->closed());
}

TEST_F(SessionTest, AnyMessageRestartsTheKeepAliveCount) {
  StartServer();
  auto c = SignOn("Busy");
  server_->Advance(241);
  Expect(*c, TypeCode("Ping"));
  server_->Advance(100);
  ASSERT_EQ(0, c->SendMove(1000, 1000));  // a forced move answers the mover
  Expect(*c, TypeCode("UsMv"));
  server_->Advance(200);  // 240 s from the move have not passed
  EXPECT_TRUE(NothingOf(*c, TypeCode("Ping")));
  server_->Advance(41);
  Expect(*c, TypeCode("Ping"));
}

TEST_F(SessionTest, SilentConnectionIsDroppedAfter120SecondsWithoutPing) {
  StartServer();
  auto c = Connect();
  ASSERT_TRUE(server_->WaitForLog("Connect #1"));
  server_->Advance(119);
  EXPECT_TRUE(Types(c->ReceiveAll(200ms)).empty());
  server_->Advance(2);
  EXPECT_TRUE(server_->WaitForLog("Discnct timeout"));
  std::vector<Message> got = c->ReceiveAll(300ms, 3s);
  EXPECT_TRUE(Types(got).empty());
  EXPECT_TRUE(c->closed());
}

TEST_F(SessionTest, ConnectionCountGoesOutAtMostEveryFiveSeconds) {
  StartServer();
  auto a = SignOn("A");
  a->ReceiveAll(100ms);
  auto b = SignOn("B");
  // The count changed: the next check (at most 5 s away) sends it.
  server_->Advance(5);
  std::uint16_t count = 0;
  ASSERT_TRUE(client::DecodeU16(Expect(*a, TypeCode("UsCt")).payload, &count));
  EXPECT_EQ(2, count);
  server_->Advance(5);
  EXPECT_TRUE(NothingOf(*a, TypeCode("UsCt")));  // unchanged
}

TEST_F(SessionTest, FirstMessageMustBeIdent) {
  StartServer();
  auto c = Connect();
  ASSERT_EQ(0, c->SendTalk("hello"));
  EXPECT_TRUE(server_->WaitForLog("failed ident"));
  Message m;
  for (int i = 0; i < 100 && !c->closed(); ++i) c->Receive(&m, 50ms);
  EXPECT_TRUE(c->closed());
}

TEST_F(SessionTest, HostileFramesAreRefusedAndTheServerStillAnswers) {
  StartServer();
  auto witness = SignOn("Witness");
  struct Case {
    const char* what;
    std::vector<std::uint8_t> plain;
  };
  auto header = [](std::uint32_t magic, std::uint32_t length, std::uint32_t type) {
    std::vector<std::uint8_t> b(16, 0);
    wire::StoreU32(b.data(), magic);
    wire::StoreU32(b.data() + 4, length);
    wire::StoreU32(b.data() + 8, type);
    return b;
  };
  std::vector<Case> cases = {
      {"bad magic", header(0x12345678, 16, TypeCode("Talk"))},
      {"length below 12", header(wire::kChatMagic, 8, TypeCode("Talk"))},
      {"length above 1 MiB", header(wire::kChatMagic, 0x7FFFFFF0, TypeCode("Talk"))},
      {"compressed size 0",
       header(wire::kChatMagic, 32, TypeCode("Talk") | wire::kCompressedFlag)},
  };
  cases.back().plain.resize(32, 0);
  for (const Case& hostile : cases) {
    auto c = SignOn(hostile.what);
    ASSERT_EQ(0, c->SendRawPlain(hostile.plain)) << hostile.what;
    Message m;
    for (int i = 0; i < 100 && !c->closed(); ++i) c->Receive(&m, 50ms);
    EXPECT_TRUE(c->closed()) << hostile.what;
  }
  EXPECT_TRUE(server_->WaitForLog("bad data", 4));
  ASSERT_EQ(0, witness->SendTalk("alive"));
  client::Speech s;
  Message m;
  bool heard = false;
  for (int i = 0; i < 50 && !heard; ++i) {
    if (witness->WaitFor(TypeCode("Talk"), &m, 1s) && client::DecodeSpeech(m.payload, &s)) {
      heard = s.text == "alive";
    }
  }
  EXPECT_TRUE(heard);
}

TEST_F(SessionTest, ShortPayloadsAreIgnoredNotReadPast) {
  StartServer();
  auto c = SignOn("Short");
  auto other = SignOn("Other");
  c->ReceiveAll(100ms);
  // A whisper that claims 5000 targets with one present, a data relay whose
  // size exceeds its bytes, and an ident cut to 4 bytes.
  wire::PayloadWriter whisper;
  whisper.I16(5000).U16(0).U32(IdOf(*other));
  ASSERT_EQ(0, c->Send(TypeCode("xTlk"), whisper.bytes()));
  wire::PayloadWriter data;
  data.Fixed("tag", 16).U8(0).U8(0).I16(0).U32(100000).Bytes("abc", 3);
  ASSERT_EQ(0, c->Send(TypeCode("Data"), data.bytes()));
  client::DataMessage relayed;
  ASSERT_TRUE(client::DecodeData(Expect(*other, TypeCode("Data")).payload, &relayed));
  EXPECT_EQ("tag", relayed.tag);
  EXPECT_GE(relayed.bytes.size(), 3u);  // clipped to what came, padding included
  EXPECT_LT(relayed.bytes.size(), 100u);
  ASSERT_EQ(0, c->SendTalk("after"));
  EXPECT_EQ("after", ExpectTalk(*c).text);
}

}  // namespace
}  // namespace zanth::testing
