// Authentication, private sites, bans at sign-on and the console lists of
// accounts and bans, over loopback. Test clients come from 127.1.x.y, so
// the ban list applies to them.
#include "core/result.h"
#include "session_fixture.h"
#include "users/ban_list.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

TEST_F(SessionTest, AuthenticationGivesTheAccountGroup) {
  StartServer();
  auto a = SignOn("Ann");
  ASSERT_EQ(0, a->SendAuth("Lord", "Hunter22"));
  EXPECT_EQ("Invalid name or password", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendAuth("Lord", "Velk*Baron"));
  EXPECT_EQ("You now have Lord privileges", ExpectTalk(*a).text);
  std::uint32_t perm = 0;
  ASSERT_TRUE(client::DecodeU32(Expect(*a, TypeCode("Perm")).payload, &perm));
  EXPECT_EQ(0xFFFFFFFFu, perm);
  client::GroupNotice group;
  ASSERT_TRUE(client::DecodeGroupNotice(Expect(*a, TypeCode("Grup")).payload, &group));
  EXPECT_EQ("Lord", group.name);
  EXPECT_EQ(100, group.rank);
  // Lords receive pages, so Ann hears of her own promotion.
  EXPECT_EQ("Ann given Lord privileges", ExpectTalk(*a).text);
  EXPECT_TRUE(server_->WaitForLog("     Auth Lord Lord"));
  EXPECT_TRUE(server_->WaitForLog("     page Ann given Lord privileges"));
  // The refusal is logged with the address and the name, never the password.
  ASSERT_EQ(0, a->SendAuth("Nobody", "guessed"));
  EXPECT_EQ("Invalid name or password", ExpectTalk(*a).text);
  EXPECT_TRUE(server_->WaitForLog(
      " AuthFail Account \"Lord\" from 127.1.0.1: wrong password\n"))
      << server_->Log();
  EXPECT_TRUE(server_->WaitForLog(
      " AuthFail Account \"Nobody\" from 127.1.0.1: no such account\n"));
  EXPECT_EQ(std::string::npos, server_->Log().find("Hunter22"));
  EXPECT_EQ(std::string::npos, server_->Log().find("guessed"));
}

TEST_F(SessionTest, AuthenticationFromGroupZeroIsMembersOnly) {
  StartServer();
  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;
    w.U16(0).U16(0);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  auto a = SignOn("Ann");
  ASSERT_EQ(0, a->SendAuth("Lord", "Velk*Baron"));
  EXPECT_EQ("Members only", ExpectTalk(*a).text);
}

TEST_F(SessionTest, AccountGivenAtSignOnIsAuthenticatedAfterIt) {
  StartServer();
  client::Ident ident;
  ident.account = "Lord";
  ident.password = "Velk*Baron";
  client::SignOnResult result;
  auto a = SignOn("Ann", ident, &result);
  EXPECT_EQ("Freeman", [&] {
    client::GroupNotice g;
    EXPECT_TRUE(client::DecodeGroupNotice(Find(result.messages, TypeCode("Grup")).payload, &g));
    return g.name;
  }());
  EXPECT_EQ("You now have Lord privileges", ExpectTalk(*a).text);
}

TEST_F(SessionTest, PrivateSiteAdmitsOnlyAccountHolders) {
  StartServer(InProcessServer::DefaultRooms(), "private=\"yes\"");
  struct Case {
    const char* account;
    const char* password;
    std::uint16_t reason;
  };
  for (const Case& c : {Case{"", "", 5}, Case{"Lord", "nope", 6}}) {
    auto client = Connect();
    client::Ident ident;
    ident.account = c.account;
    ident.password = c.password;
    client::SignOnResult result;
    EXPECT_EQ(kFailed, client->SignOn(ident, 5s, &result));
    std::uint16_t reason = 0;
    ASSERT_TRUE(client::DecodeU16(Find(result.messages, TypeCode("Kill")).payload, &reason));
    EXPECT_EQ(c.reason, reason);
  }
  // The second client's refusal, logged without its password.
  EXPECT_TRUE(server_->WaitForLog(" AuthFail Account \"Lord\" from 127.1.0.2: wrong password\n"))
      << server_->Log();
  EXPECT_EQ(std::string::npos, server_->Log().find("nope"));
  client::Ident ident;
  ident.account = "Lord";
  ident.password = "Velk*Baron";
  auto lord = SignOn("Ann", ident);
  EXPECT_EQ("You now have Lord privileges", ExpectTalk(*lord).text);
}

TEST_F(SessionTest, BanRecordsApplyAtSignOn) {
  StartServer();
  client::Ident banned;
  client::Ident restricted;
  server_->Run([&](protocol::Site& site) {
    site.bans.AddFront({"bad", {0, 0, banned.uuid[2], banned.uuid[3]}, 0, {0, 0, 0}, 0,
                        users::kBanned | users::kPinned});
    site.bans.AddFront({"held", {0, 0, restricted.uuid[2], restricted.uuid[3]}, 0, {0, 0, 0}, 0,
                        users::kPinned | users::kInTimeout});
  });
  auto c = Connect();
  client::SignOnResult result;
  EXPECT_EQ(kFailed, c->SignOn(banned, 5s, &result));
  std::uint16_t reason = 0;
  ASSERT_TRUE(client::DecodeU16(Find(result.messages, TypeCode("Kill")).payload, &reason));
  EXPECT_EQ(1, reason);
  EXPECT_TRUE(server_->WaitForLog("is banned"));

  auto held = SignOn("Held", restricted, &result, true);
  client::RoomInfo room;
  ASSERT_TRUE(client::DecodeRoomInfo(Find(result.messages, TypeCode("RmIn")).payload, &room));
  EXPECT_EQ(101, room.id);  // the timeout room
  EXPECT_TRUE(server_->WaitForLog("     page Held signed on, is pinned in timeout room"));
  client::UserMove pinned;
  ASSERT_TRUE(client::DecodeUserMove(Expect(*held, TypeCode("UsMv")).payload, &pinned));
  EXPECT_EQ(490, pinned.x);
  ASSERT_EQ(0, held->SendRoomRequest(100));  // cannot leave the timeout room
  EXPECT_TRUE(NothingOf(*held, TypeCode("RmIn")));
}

TEST_F(SessionTest, ConsoleReadsAndReplacesAccountsAndBans) {
  StartServer();
  client::Ident ident;
  ident.account = "Lord";
  ident.password = "Velk*Baron";
  auto console = SignOn("Console", ident);
  console->ReceiveAll(200ms);
  ASSERT_EQ(0, console->SendEmpty(TypeCode("REAu")));
  Message list = Expect(*console, TypeCode("AuLs"));
  ASSERT_GE(list.payload.size(), 72u);
  EXPECT_EQ(1, wire::LoadU16(list.payload.data()));
  EXPECT_EQ("Lord", std::string(reinterpret_cast<const char*>(list.payload.data() + 2)));

  server_->Run([](protocol::Site& site) {
    site.bans.AddFront({"x", {0, 0, 0x10, 0x20}, 0, {0, 0, 0}, 0, users::kGagged});
  });
  ASSERT_EQ(0, console->SendEmpty(TypeCode("REBl")));
  Message bans = Expect(*console, TypeCode("BnLs"));
  EXPECT_EQ(1u, wire::LoadU32(bans.payload.data()));
  wire::PayloadWriter b;
  b.U32(1).Fixed("x", 36).U32(0).U32(0).U32(0x10).U32(0x20).U32(0).Zeros(12).U32(users::kBanned);
  ASSERT_EQ(0, console->Send(TypeCode("BnLs"), b.bytes()));
  EXPECT_TRUE(server_->WaitForLog("    Cnsle ban list"));
  std::string banlist;
  for (int i = 0; i < 200; ++i) {
    banlist = ReadFileText(server_->data_dir() + "banlist");
    if (banlist.size() == 80 && static_cast<unsigned char>(banlist[79]) == 0x80) break;
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(80u, banlist.size());
  EXPECT_EQ(0x80, static_cast<unsigned char>(banlist[79]));  // flags, least significant first

  // Replacing the accounts moves the console's own account to Knight,
  // which has no console privilege: the last console request of the test.
  wire::PayloadWriter w;
  w.U16(2);
  w.Fixed("Lord", 33).Fixed("Velk*Baron", 33).U8(1).U8(0).U16(3);
  w.Fixed("Guest", 33).Fixed("guest", 33).U8(1).U8(0).U16(1);
  ASSERT_EQ(0, console->Send(TypeCode("AuLs"), w.bytes()));
  EXPECT_EQ("You now have Knight privileges", ExpectTalk(*console).text);
  EXPECT_TRUE(server_->WaitForLog("    Cnsle auth list"));
  std::string file = ReadFileText(server_->data_dir() + "passwds");
  for (int i = 0; i < 200 && file.find("Guest") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
    file = ReadFileText(server_->data_dir() + "passwds");
  }
  EXPECT_LT(file.find("Guest"), file.find("<name>Lord"));

}

}  // namespace
}  // namespace zanth::testing
