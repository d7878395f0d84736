// Every change that the configuration file keeps is on disk the moment it
// is answered: the server is killed right after each change and restarted.
#include <sstream>

#include "client/encode.h"
#include "session_fixture.h"
#include "users/group_table.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

class PersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.WriteConfig(InProcessServer::DefaultRooms());
    // Group 1, where everyone signs on, may author rooms and use the console.
    users::GroupTable groups;
    wire::PayloadWriter w;
    w.U16(1).U16(0).Fixed("Author", 34).U16(5).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
    groups.ReplaceFromPayload(w.data(), w.size());
    ASSERT_EQ(0, groups.Save(server_.data_dir() + "groups"));
    ASSERT_TRUE(server_.Start());
  }

  // A client signed on from its own address; the sign-on messages in *result.
  std::unique_ptr<client::ChatClient> SignOn(client::SignOnResult* result) {
    auto c = std::make_unique<client::ChatClient>();
    std::string address = "127.4.0." + std::to_string(++clients_);
    EXPECT_EQ(0, c->Connect("127.0.0.1", server_.chat_port(), address));
    EXPECT_EQ(0, c->SignOn(client::Ident{}, 5s, result));
    return c;
  }

  void KillAndRestart() {
    server_.Kill();
    ASSERT_TRUE(server_.Start());
  }

  std::vector<client::RoomSummary> Rooms(client::ChatClient& c) {
    std::vector<client::RoomSummary> rooms;
    EXPECT_EQ(0, c.SendRoomListRequest());
    Message m;
    EXPECT_TRUE(c.WaitFor(TypeCode("Rmls"), &m, 5s));
    EXPECT_TRUE(client::DecodeRoomList(m.payload, &rooms));
    return rooms;
  }

  ServerProcess server_;
  int clients_ = 0;
};

std::vector<std::uint8_t> LooseProp(const char (&type)[5], std::uint8_t n, std::uint16_t position) {
  wire::PayloadWriter w;
  std::uint8_t id[20] = {};
  id[10] = n;
  w.Bytes(id, 20);
  if (std::string(type) == "LPrp") {
    w.I32(1).I16(10 * n).I16(20);
  } else if (std::string(type) == "MLPr") {
    w.U16(position).I16(99).I16(98).U16(0);
  } else {
    w.U16(position).U16(0);
  }
  return std::move(w.bytes());
}

TEST_F(PersistenceTest, EachChangeSurvivesAKill) {
  client::SignOnResult result;
  Message m;

  // A room created.
  auto c = SignOn(&result);
  client::RoomRecordFields room;
  room.id = 300;
  room.name = "Attic";
  room.file_name = "attic.rmd";
  ASSERT_EQ(0, c->SendRoomRecord(TypeCode("CrRm"), room));
  ASSERT_TRUE(c->WaitFor(TypeCode("RmIn"), &m, 5s));
  KillAndRestart();
  c = SignOn(&result);
  std::vector<client::RoomSummary> rooms = Rooms(*c);
  ASSERT_EQ(3u, rooms.size());
  EXPECT_EQ("Attic", rooms[1].name);  // right after the gate

  // The room updated.
  ASSERT_EQ(0, c->SendRoomRequest(300));
  ASSERT_TRUE(c->WaitFor(TypeCode("RmEn"), &m, 5s));
  room.name = "Loft";
  ASSERT_EQ(0, c->SendRoomRecord(TypeCode("UpRm"), room));
  ASSERT_TRUE(c->WaitFor(TypeCode("RmIn"), &m, 5s));
  KillAndRestart();
  c = SignOn(&result);
  EXPECT_EQ("Loft", Rooms(*c)[1].name);

  // Loose props dropped, moved and deleted.
  for (std::uint8_t n = 1; n <= 2; ++n) {
    ASSERT_EQ(0, c->Send(TypeCode("LPrp"), LooseProp("LPrp", n, 0)));
    ASSERT_TRUE(c->WaitFor(TypeCode("LPrp"), &m, 5s));
  }
  KillAndRestart();
  c = SignOn(&result);
  ASSERT_EQ(0, c->Send(TypeCode("MLPr"), LooseProp("MLPr", 2, 1)));
  ASSERT_TRUE(c->WaitFor(TypeCode("MLPr"), &m, 5s));
  KillAndRestart();
  c = SignOn(&result);
  ASSERT_EQ(0, c->Send(TypeCode("DlPr"), LooseProp("DlPr", 1, 0)));
  ASSERT_TRUE(c->WaitFor(TypeCode("DlPr"), &m, 5s));
  KillAndRestart();
  c = SignOn(&result);
  Message list;
  for (const Message& msg : result.messages) {
    if (msg.type == TypeCode("LpLs")) list = msg;
  }
  ASSERT_GE(list.payload.size(), 4u + 64);
  EXPECT_EQ(1, wire::LoadU16(list.payload.data()));
  EXPECT_EQ(2, list.payload[4 + 10]);                               // the moved prop
  EXPECT_EQ(99, wire::LoadU16(list.payload.data() + 4 + 60));  // at its new place

  // Sounds replaced: everyone hears the new list at once.
  client::SignOnResult other_result;
  auto other = SignOn(&other_result);
  wire::PayloadWriter sounds;
  sounds.U32(2).U32(66).Fixed("ding", 33).Fixed("ding.wav", 33).Fixed("bell", 33).Fixed("bell.wav", 33);
  ASSERT_EQ(0, c->Send(TypeCode("SdLs"), sounds.bytes()));
  ASSERT_TRUE(other->WaitFor(TypeCode("SdLs"), &m, 5s));
  EXPECT_EQ(8u + 132 + 8, m.payload.size());  // 8 + 132 bytes and the frame's padding
  std::vector<client::Sound> heard;
  ASSERT_TRUE(client::DecodeSoundList(m.payload, &heard));
  ASSERT_EQ(2u, heard.size());
  KillAndRestart();
  c = SignOn(&result);
  Message sound_list;
  for (const Message& msg : result.messages) {
    if (msg.type == TypeCode("SdLs")) sound_list = msg;
  }
  ASSERT_TRUE(client::DecodeSoundList(sound_list.payload, &heard));
  ASSERT_EQ(2u, heard.size());
  EXPECT_EQ("bell.wav", heard[1].source);
  std::string conf = ReadFileText(server_.data_dir() + "zanth.conf");
  EXPECT_LT(conf.find("<sound"), conf.find("<room"));
  EXPECT_EQ(0, server_.Stop());
}

// Clients send 8-bit text; the file holds UTF-8. After a restart every
// text must reach clients with the bytes it had, or graphical clients show
// other names: Latin-1 letters, bytes that happen to form UTF-8, and a
// character that only UTF-8 has.
TEST_F(PersistenceTest, TextsKeepTheirBytesAcrossARestart) {
  const std::string kName = "Caf\xE9 \xC3\xA9 \xE2\x82\xAC";
  const std::string kFile = "caf\xE9.rmd";
  const std::string kUrl = "zanth://h\xF4te/";
  const std::string kImage = "http://h/\xE9t\xE9.png";
  const std::string kDescription = "D\xE9j\xE0 vu \x80\xFF";
  const std::string kSound = "d\xEEng";
  client::SignOnResult result;
  Message m;
  auto c = SignOn(&result);
  wire::PayloadWriter info;
  info.Fixed(kName, 65).Fixed(kUrl, 512).Fixed(kImage, 512).Fixed(kDescription, 1024);
  info.U8(1).U8(0).U8(0);  // hidden: no directory server to reach
  ASSERT_EQ(0, c->Send(TypeCode("DrIn"), info.bytes()));
  ASSERT_TRUE(c->WaitFor(TypeCode("SNme"), &m, 5s));
  client::RoomRecordFields room;
  room.id = 300;
  room.name = kName;
  room.file_name = kFile;
  ASSERT_EQ(0, c->SendRoomRecord(TypeCode("CrRm"), room));
  ASSERT_TRUE(c->WaitFor(TypeCode("RmIn"), &m, 5s));
  wire::PayloadWriter sounds;
  sounds.U32(1).U32(66).Fixed(kSound, 33).Fixed(kSound + ".wav", 33);
  ASSERT_EQ(0, c->Send(TypeCode("SdLs"), sounds.bytes()));
  ASSERT_TRUE(c->WaitFor(TypeCode("SdLs"), &m, 5s));
  KillAndRestart();

  c = SignOn(&result);
  std::string site_name;
  std::vector<client::Sound> heard;
  for (const Message& msg : result.messages) {
    if (msg.type == TypeCode("SNme")) {
      ASSERT_TRUE(client::DecodeZString(msg.payload, &site_name));
    }
    if (msg.type == TypeCode("SdLs")) {
      ASSERT_TRUE(client::DecodeSoundList(msg.payload, &heard));
    }
  }
  EXPECT_EQ(kName, site_name);
  ASSERT_EQ(1u, heard.size());
  EXPECT_EQ(kSound, heard[0].name);
  EXPECT_EQ(kSound + ".wav", heard[0].source);
  EXPECT_EQ(kName, Rooms(*c)[1].name);

  ASSERT_EQ(0, c->SendEmpty(TypeCode("REDI")));
  ASSERT_TRUE(c->WaitFor(TypeCode("DrIn"), &m, 5s));
  ASSERT_GE(m.payload.size(), 2116u);
  auto field = [&m](std::size_t at) {
    return std::string(reinterpret_cast<const char*>(m.payload.data() + at));
  };
  EXPECT_EQ(kName, field(0));
  EXPECT_EQ(kUrl, field(65));
  EXPECT_EQ(kImage, field(577));
  EXPECT_EQ(kDescription, field(1089));

  ASSERT_EQ(0, c->SendRoomRequest(300));
  ASSERT_TRUE(c->WaitFor(TypeCode("RmEn"), &m, 5s));
  ASSERT_EQ(0, c->SendEmpty(TypeCode("REIn")));
  ASSERT_TRUE(c->WaitFor(TypeCode("REIn"), &m, 5s));
  client::RoomEditInfo edit;
  ASSERT_TRUE(client::DecodeRoomEditInfo(m.payload, &edit));
  EXPECT_EQ(kName, edit.name);
  EXPECT_EQ(kFile, edit.file_name);
  EXPECT_EQ(kFile, edit.description);
  EXPECT_EQ(0, server_.Stop());
}

// Accounts name their group in "passwds": renaming the group must rewrite
// them, or they lose the group at the next start.
TEST_F(PersistenceTest, RenamedGroupKeepsItsAccountsAfterARestart) {
  client::SignOnResult result;
  Message m;
  auto c = SignOn(&result);
  ASSERT_EQ(0, c->SendAccountList({{"ann", "secret", 1, true}}));
  ASSERT_EQ(0, c->SendGroupList({{"Writer", 5, 0xFFFFFFFF, 0xFFFFFFFF}}));
  // Answered in order: the list that comes has seen both changes.
  ASSERT_EQ(0, c->SendEmpty(client::kRequestAccounts));
  ASSERT_TRUE(c->WaitFor(client::kAccountList, &m, 5s));
  KillAndRestart();
  c = SignOn(&result);
  ASSERT_EQ(0, c->SendEmpty(client::kRequestAccounts));
  ASSERT_TRUE(c->WaitFor(client::kAccountList, &m, 5s));
  std::vector<client::Account> accounts;
  ASSERT_TRUE(client::DecodeAccountList(m.payload, &accounts));
  ASSERT_EQ(1u, accounts.size());
  EXPECT_EQ(1, accounts[0].group);
  EXPECT_NE(std::string::npos,
            ReadFileText(server_.data_dir() + "passwds").find("<group>Writer</group>"));
  EXPECT_EQ(0, server_.Stop());
}

TEST(OlderFormatTest, OlderFileIsAppliedAndReplacedByXml) {
  ServerProcess server;
  server.WriteConfigWith([&server] {
    std::ostringstream out;
    out << "<sitename address=127.0.0.1 port=\"" << server.chat_port() << "\" httpport="
        << server.http_port() << ">Old Site</sitename>\n"
        << "<junk>skipped <sitename>not this</sitename></junk>\n"
        << "<room id=100 name=\"gate\" gate desc=g src=g>gate\n"
        << "  <prop horz=5 vert=6 id=\"#349E26B338962EBB309A22B71C922ABF14BE0693\"></prop>\n"
        << "  <prop horz=7 vert=8 id=\"04030201080706050C0B0A09100F0E0D14131211\"></prop>\n"
        << "</room>\n";
    return out.str();
  });
  ASSERT_TRUE(server.Start());
  std::string conf = ReadFileText(server.data_dir() + "zanth.conf");
  EXPECT_EQ(0u, conf.find("<?xml"));
  // One rewrite at the start (the file had no profile page either): its
  // ".bak" is the owner's older file, not a first XML version.
  EXPECT_EQ(0u, ReadFileText(server.data_dir() + "zanth.conf.bak").find("<sitename address="));
  EXPECT_NE(std::string::npos, conf.find(">Old Site</sitename>"));
  EXPECT_EQ(std::string::npos, conf.find("not this"));
  client::ChatClient c;
  ASSERT_EQ(0, c.Connect("127.0.0.1", server.chat_port(), "127.4.1.1"));
  client::SignOnResult result;
  ASSERT_EQ(0, c.SignOn(client::Ident{}, 5s, &result));
  Message list;
  for (const Message& msg : result.messages) {
    if (msg.type == TypeCode("LpLs")) list = msg;
  }
  ASSERT_GE(list.payload.size(), 4u + 2 * 64);
  EXPECT_EQ(2, wire::LoadU16(list.payload.data()));
  EXPECT_EQ(0, std::memcmp(list.payload.data() + 4, list.payload.data() + 4 + 64, 20));
  EXPECT_EQ(0, server.Stop());
}

}  // namespace
}  // namespace zanth::testing
