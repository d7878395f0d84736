// Props over loopback: prop lists, uploads and their announcements, loose
// props, spot states and room locks.
#include "props/prop_id.h"
#include "rooms/room.h"
#include "session_fixture.h"
#include "users/user.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

using props::PropId;

PropId Custom(std::uint8_t n) {
  PropId id{};
  id[0] = 0xC0;
  id[19] = n;
  return id;
}

PropId Standard(std::uint8_t n) {
  PropId id{};
  id[10] = n;
  return id;
}

std::vector<std::uint8_t> PropList(const std::vector<std::pair<PropId, std::int32_t>>& props) {
  wire::PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(props.size())).U16(0);
  for (const auto& [id, stamp] : props) w.Bytes(id.data(), id.size()).I32(stamp);
  return std::move(w.bytes());
}

std::vector<std::uint8_t> Upload(const PropId& id, std::int32_t stamp, const std::string& data) {
  wire::PayloadWriter w;
  w.Bytes(id.data(), id.size()).I32(stamp).U32(static_cast<std::uint32_t>(data.size()))
      .Bytes(data.data(), data.size());
  return std::move(w.bytes());
}

std::vector<std::uint8_t> Drop(const PropId& id, std::int16_t x, std::int16_t y) {
  wire::PayloadWriter w;
  w.Bytes(id.data(), id.size()).I32(1).I16(x).I16(y);
  return std::move(w.bytes());
}

std::uint16_t RefCount(InProcessServer& server, const PropId& id) {
  std::uint16_t count = 0xFFFF;
  server.Run([&](protocol::Site& site) {
    if (const props::PropCacheEntry* e = site.props.Find(id)) count = e->references;
  });
  return count;
}


TEST_F(SessionTest, StandardPropsAreNeverRequested) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  ASSERT_EQ(0, a->Send(TypeCode("Plst"),
                       PropList({{Standard(1), 1}, {Standard(2), 1}, {Standard(3), 1}})));
  Message list = Expect(*b, TypeCode("Plst"));
  ASSERT_GE(list.payload.size(), 8u + 3 * 60);
  EXPECT_EQ(IdOf(*a), wire::LoadU32(list.payload.data()));
  EXPECT_EQ(3, wire::LoadU16(list.payload.data() + 4));
  EXPECT_EQ(0, list.payload[8 + 24]);  // no cached file name
  Expect(*a, TypeCode("Plst"));        // the wearer sees its own list
  EXPECT_TRUE(NothingOf(*a, TypeCode("RPrp")));
}

TEST_F(SessionTest, UploadsAreRequestedCountedAndAnnouncedOncePerRoom) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  PropId hat = Custom(1);
  ASSERT_EQ(0, a->Send(TypeCode("Plst"), PropList({{hat, 7}})));
  Message request = Expect(*a, TypeCode("RPrp"));
  EXPECT_EQ(0, std::memcmp(request.payload.data(), hat.data(), hat.size()));
  ASSERT_EQ(0, b->Send(TypeCode("Plst"), PropList({{hat, 7}})));
  ASSERT_EQ(0, b->Send(TypeCode("LPrp"), Drop(hat, 100, 100)));
  Expect(*b, TypeCode("LPrp"));
  a->ReceiveAll(200ms);
  b->ReceiveAll(100ms);
  ASSERT_EQ(0, a->Send(TypeCode("PDta"), Upload(hat, 7, "picture bytes")));
  Message available = Expect(*a, TypeCode("PAvl"));
  EXPECT_EQ(0, std::memcmp(available.payload.data(), hat.data(), hat.size()));
  std::string file(reinterpret_cast<const char*>(available.payload.data() + 20));
  EXPECT_EQ(".prp", file.substr(file.size() - 4));
  EXPECT_EQ("picture bytes", ReadFileText(server_->data_dir() + "media/props/" + file));
  EXPECT_TRUE(NothingOf(*a, TypeCode("PAvl")));  // one per room
  EXPECT_EQ(3, RefCount(*server_, hat));        // two wearers, one loose prop
  // Now cached with stamp 7: stamp 7 is acquired, stamp 8 requested.
  ASSERT_EQ(0, a->Send(TypeCode("Plst"), PropList({{hat, 7}})));
  EXPECT_TRUE(NothingOf(*a, TypeCode("RPrp")));
  ASSERT_EQ(0, a->Send(TypeCode("Plst"), PropList({{hat, 8}})));
  Expect(*a, TypeCode("RPrp"));
}

TEST_F(SessionTest, PropGaggedUserKeepsTheOldList) {
  StartServer();
  auto a = SignOn("A");
  auto b = SignOn("B");
  ASSERT_EQ(0, a->Send(TypeCode("Plst"), PropList({{Standard(1), 1}})));
  Expect(*b, TypeCode("Plst"));
  server_->Run([&](protocol::Site& site) { site.users.Find(IdOf(*a))->flags |= users::kPropGagged; });
  ASSERT_EQ(0, a->Send(TypeCode("Plst"), PropList({{Standard(2), 1}, {Standard(3), 1}})));
  EXPECT_TRUE(NothingOf(*b, TypeCode("Plst")));
  // A newcomer sees the list that stayed in force.
  client::SignOnResult result;
  auto c = SignOn("C", {}, &result);
  Message list = Find(result.messages, TypeCode("Plst"));
  ASSERT_GE(list.payload.size(), 8u);
  EXPECT_EQ(1, wire::LoadU16(list.payload.data() + 4));
}

TEST_F(SessionTest, LoosePropsDropMoveDeleteAndPersist) {
  StartServer();
  auto a = SignOn("A");
  for (std::uint8_t n = 1; n <= 3; ++n) {
    ASSERT_EQ(0, a->Send(TypeCode("LPrp"), Drop(Standard(n), static_cast<std::int16_t>(10 * n), 5)));
    Message drop = Expect(*a, TypeCode("LPrp"));
    ASSERT_GE(drop.payload.size(), 64u);
    EXPECT_EQ(10 * n, wire::LoadU16(drop.payload.data() + 60));
  }
  wire::PayloadWriter del;
  PropId second = Standard(2);
  del.Bytes(second.data(), second.size()).U16(1).U16(0);
  ASSERT_EQ(0, a->Send(TypeCode("DlPr"), del.bytes()));
  EXPECT_EQ(24u, Expect(*a, TypeCode("DlPr")).payload.size() >= 24 ? 24u : 0u);
  wire::PayloadWriter wrong;  // the id at position 1 is now prop 3
  wrong.Bytes(second.data(), second.size()).U16(1).I16(1).I16(1).U16(0);
  ASSERT_EQ(0, a->Send(TypeCode("MLPr"), wrong.bytes()));
  EXPECT_TRUE(NothingOf(*a, TypeCode("MLPr")));
  std::string conf = WaitForConfig("vert=\"5\"");
  std::size_t first = conf.find("horz=\"10\"");
  std::size_t third = conf.find("horz=\"30\"");
  ASSERT_NE(std::string::npos, first);
  EXPECT_LT(first, third);
  EXPECT_EQ(std::string::npos, conf.find("horz=\"20\""));
  // A newcomer gets both in order.
  client::SignOnResult result;
  auto b = SignOn("B", {}, &result);
  Message list = Find(result.messages, TypeCode("LpLs"));
  ASSERT_GE(list.payload.size(), 4u + 2 * 64);
  EXPECT_EQ(2, wire::LoadU16(list.payload.data()));
  EXPECT_EQ(30, wire::LoadU16(list.payload.data() + 4 + 64 + 60));
}

TEST_F(SessionTest, NoLoosePropsRoomSendsOnlyTheRefusal) {
  StartServer(Rooms("<room id=\"200\" name=\"bare\" nolooseprops=\"yes\" desc=\"b\" src=\"b\"/>"));
  client::Ident ident;
  ident.room = 200;
  auto a = SignOn("A", ident);
  ASSERT_EQ(0, a->Send(TypeCode("LPrp"), Drop(Custom(9), 1, 1)));
  std::vector<Message> got = a->ReceiveAll(300ms);
  ASSERT_EQ(1u, got.size());
  client::Speech s;
  ASSERT_TRUE(client::DecodeSpeech(got[0].payload, &s));
  EXPECT_EQ("Loose props are not permitted in this room", s.text);
}

TEST_F(SessionTest, SpotStatesKeepTheirKindAndSendChangesOnly) {
  StartServer();
  auto a = SignOn("A");
  auto spot = [](std::uint8_t kind, std::int16_t state) {
    wire::PayloadWriter w;
    w.U8(kind).U8(0).I16(state).I16(7);
    return std::move(w.bytes());
  };
  ASSERT_EQ(0, a->Send(TypeCode("SpSt"), spot(2, 1)));
  Expect(*a, TypeCode("SpSt"));
  ASSERT_EQ(0, a->Send(TypeCode("SpSt"), spot(2, 1)));
  EXPECT_TRUE(NothingOf(*a, TypeCode("SpSt")));
  ASSERT_EQ(0, a->Send(TypeCode("SpSt"), spot(5, 3)));
  EXPECT_EQ(5, Expect(*a, TypeCode("SpSt")).payload[0]);  // the broadcast carries the request's
  client::SignOnResult result;
  auto b = SignOn("B", {}, &result);
  Message state = Find(result.messages, TypeCode("SpSt"));
  ASSERT_GE(state.payload.size(), 6u);
  EXPECT_EQ(2, state.payload[0]);  // the stored kind stayed
  EXPECT_EQ(3, wire::LoadU16(state.payload.data() + 2));
}

TEST_F(SessionTest, LocksNeedMemberRoomsAndShowInLinkedRooms) {
  StartServer(Rooms("<room id=\"200\" name=\"porch\" desc=\"p\" src=\"p\"/>"));
  auto a = SignOn("A");
  auto lock = [](std::uint8_t locked, std::uint16_t linked) {
    wire::PayloadWriter w;
    w.U8(locked).U8(0).U16(0).I16(3).U16(linked);
    return std::move(w.bytes());
  };
  ASSERT_EQ(0, a->Send(TypeCode("RmLk"), lock(1, 200)));
  Message state = Expect(*a, TypeCode("SpSt"));
  ASSERT_GE(state.payload.size(), 6u);
  EXPECT_EQ(1, state.payload[0]);
  EXPECT_EQ(0x01, state.payload[2]);  // least significant byte first
  EXPECT_EQ(0x00, state.payload[3]);
  Message locked = Expect(*a, TypeCode("RmLk"));
  EXPECT_EQ(100, wire::LoadU16(locked.payload.data()));
  EXPECT_EQ(1, locked.payload[2]);
  client::Ident porch;
  porch.room = 200;
  client::SignOnResult result;
  auto b = SignOn("B", porch, &result);
  Message shown = Find(result.messages, TypeCode("RmLk"));
  ASSERT_GE(shown.payload.size(), 4u);
  EXPECT_EQ(100, wire::LoadU16(shown.payload.data()));
  EXPECT_EQ(1, shown.payload[2]);

  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;
    w.U16(1).U16(0).Fixed("Guest", 34).U16(1).U32(0).U32(7);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  ASSERT_EQ(0, b->Send(TypeCode("RmLk"), lock(1, 0)));
  EXPECT_EQ("Members only", ExpectTalk(*b).text);
}

TEST(LoosePropRestartTest, LoosePropsSurviveAKillAndARestart) {
  ServerProcess server;
  server.WriteConfig(InProcessServer::DefaultRooms());
  ASSERT_TRUE(server.Start());
  {
    client::ChatClient c;
    ASSERT_EQ(0, c.Connect("127.0.0.1", server.chat_port(), "127.3.0.1"));
    client::SignOnResult result;
    ASSERT_EQ(0, c.SignOn(client::Ident{}, 5s, &result));
    ASSERT_EQ(0, c.Send(TypeCode("LPrp"), Drop(Custom(4), 77, 88)));
    Message m;
    ASSERT_TRUE(c.WaitFor(TypeCode("LPrp"), &m, 5s));
  }
  server.Kill();
  ASSERT_TRUE(server.Start());
  client::ChatClient c;
  ASSERT_EQ(0, c.Connect("127.0.0.1", server.chat_port(), "127.3.0.2"));
  client::SignOnResult result;
  ASSERT_EQ(0, c.SignOn(client::Ident{}, 5s, &result));
  Message list;
  for (const Message& m : result.messages) {
    if (m.type == TypeCode("LpLs")) list = m;
  }
  ASSERT_GE(list.payload.size(), 4u + 64);
  EXPECT_EQ(1, wire::LoadU16(list.payload.data()));
  EXPECT_EQ(0, std::memcmp(list.payload.data() + 4, Custom(4).data(), 20));
  EXPECT_EQ(77, wire::LoadU16(list.payload.data() + 4 + 60));
  EXPECT_EQ(0, server.Stop());
}

}  // namespace
}  // namespace zanth::testing
