// Server commands over loopback: the interpreter, moderation, paging,
// names and mutes. The staff member signs on into the default "Lord"
// account; everybody else is a Freeman.
#include "session_fixture.h"
#include "users/ban_list.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

class CommandTest : public SessionTest {
 protected:
  void SetUp() override {
    StartServer(InProcessServer::DefaultRooms() +
                "<room id=\"102\" name=\"hall\" desc=\"h\" src=\"h\"/>");
    client::Ident lord;
    lord.account = "Lord";
    lord.password = "Velk*Baron";
    staff_ = SignOn("Boss", lord);
    ExpectTalk(*staff_);  // "You now have Lord privileges"
    staff_->ReceiveAll(100ms);
  }

  std::vector<std::string> Lines(ChatClient& c) {
    std::vector<std::string> lines;
    for (const Message& m : c.ReceiveAll(300ms)) {
      std::string text;
      if (m.type == TypeCode("LMsg") && client::DecodeZString(m.payload, &text)) {
        lines.push_back(text);
      }
    }
    return lines;
  }

  std::unique_ptr<ChatClient> staff_;
};

TEST_F(CommandTest, HelpShowsWhatTheGroupMayRun) {
  auto user = SignOn("Ann");
  ASSERT_EQ(0, user->SendTalk("'help"));
  std::vector<std::string> lines = Lines(*user);
  ASSERT_EQ(14u, lines.size());  // header, twelve commands, trailer
  EXPECT_EQ("** Zanth commands", lines.front());
  EXPECT_EQ(" ", lines.back());
  EXPECT_EQ("gotoroom <room name> - Goto to another room", lines[4]);
  ASSERT_EQ(0, staff_->SendTalk("'help"));
  EXPECT_EQ(36u, Lines(*staff_).size());
  ASSERT_EQ(0, user->SendTalk("'"));
  EXPECT_EQ("Unknown command. Use 'help for a list of commands.", ExpectTalk(*user).text);
  ASSERT_EQ(0, user->SendTalk("'rev"));
  EXPECT_EQ("You do not have permission to use that command", ExpectTalk(*user).text);
  ASSERT_EQ(0, staff_->SendTalk("'rev"));
  EXPECT_EQ("Zanth Personal Server for Windows 1.2b3 build 192", ExpectTalk(*staff_).text);
}

TEST_F(CommandTest, ListingsAndGotoRoom) {
  auto user = SignOn("Ann");
  ASSERT_EQ(0, user->SendTalk("'rlist"));
  EXPECT_EQ((std::vector<std::string>{"gate - 2", "hall - 0"}), Lines(*user));
  ASSERT_EQ(0, user->SendTalk("'list"));
  std::vector<std::string> users = Lines(*user);
  ASSERT_EQ(3u, users.size());
  EXPECT_EQ("Ann - gate", users[1]);
  ASSERT_EQ(0, user->SendTalk("'gotoroom  hall"));  // two spaces: " hall"
  EXPECT_EQ("Room not found", ExpectTalk(*user).text);
  ASSERT_EQ(0, user->SendTalk("'gotoroom hall"));
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*user, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(102, info.id);
}

TEST_F(CommandTest, ModerationActsOnWhisperTargetsOnly) {
  auto target = SignOn("Tom");
  target->ReceiveAll(100ms);
  ASSERT_EQ(0, staff_->SendTalk("'gag"));  // room talk: no targets
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'gag"));
  EXPECT_EQ("Tom gagged by Boss", ExpectTalk(*staff_).text);  // Lords receive pages
  EXPECT_TRUE(server_->WaitForLog("      gag set "));
  ASSERT_EQ(0, target->SendTalk("can you hear me"));
  EXPECT_TRUE(NothingOf(*staff_, TypeCode("Talk")));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'ungag"));
  EXPECT_EQ("Tom un-gagged by Boss", ExpectTalk(*staff_).text);

  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'pin"));
  client::UserMove move;
  ASSERT_TRUE(client::DecodeUserMove(Expect(*target, TypeCode("UsMv")).payload, &move));
  EXPECT_EQ(490, move.x);
  EXPECT_EQ(368, move.y);

  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'namegag"));
  Message renamed = Expect(*target, TypeCode("Name"));
  EXPECT_EQ("Freeman 2", std::string(reinterpret_cast<const char*>(renamed.payload.data() + 8)));
  ASSERT_EQ(0, target->SendTalk("'name Tommy"));
  EXPECT_TRUE(NothingOf(*target, TypeCode("Name")));

  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'timeout"));
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*target, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(101, info.id);
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'unpin"));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'release"));
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*target, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(100, info.id);

  // Every measure is in the ban record; what was lifted is clear again.
  std::uint32_t flags = 0xFFFF;
  server_->Run([&](protocol::Site& site) {
    const users::BanRecord* r = site.bans.Match(site.users.Find(IdOf(*target))->uuid, 0);
    if (r != nullptr) flags = r->flags;
  });
  EXPECT_EQ(users::kNameGagged, flags);

  ASSERT_EQ(0, target->SendWhisper({IdOf(*staff_)}, "'kill"));
  EXPECT_EQ("You do not have permission to use that command", ExpectTalk(*target).text);
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*target)}, "'kill"));
  std::uint16_t reason = 0;
  ASSERT_TRUE(client::DecodeU16(Expect(*target, TypeCode("Kill")).payload, &reason));
  EXPECT_EQ(2, reason);
  EXPECT_TRUE(server_->WaitForLog("      ban "));
}

TEST_F(CommandTest, OutrankedTargetsAreRefused) {
  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;  // Freeman may gag, at rank 1
    w.U16(2).U16(0).Fixed("Freeman", 34).U16(1).U32(0x103).U32(0x40000007)
        .Fixed("Lord", 34).U16(100).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  auto user = SignOn("Ann");
  ASSERT_EQ(0, user->SendWhisper({IdOf(*staff_)}, "'gag"));
  EXPECT_EQ("Boss outranks you", ExpectTalk(*user).text);
  ASSERT_EQ(0, staff_->SendTalk("still free"));
  EXPECT_EQ("still free", ExpectTalk(*user).text);
}

TEST_F(CommandTest, PagingReachesTheStaffAndRepageTheLastPager) {
  auto a = SignOn("Ann");
  auto b = SignOn("Bob");
  ASSERT_EQ(0, a->SendTalk("'page help me"));
  EXPECT_EQ("Page from Ann in gate: help me", ExpectTalk(*staff_).text);
  EXPECT_EQ("The staff has been paged", ExpectTalk(*a).text);
  ASSERT_EQ(0, b->SendTalk("'page ;quiet"));
  EXPECT_EQ("Page from Bob in gate: ;quiet", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, staff_->SendTalk("'repage on my way"));
  EXPECT_EQ("on my way", ExpectTalk(*b).text);
  EXPECT_EQ("Re-page from Boss: on my way", ExpectTalk(*staff_).text);
  EXPECT_TRUE(NothingOf(*a, TypeCode("Talk")));
}

TEST_F(CommandTest, NamesAreCheckedCutAndBroadcast) {
  auto a = SignOn("Ann");
  ASSERT_EQ(0, a->SendTalk("'name !!!"));
  EXPECT_EQ("Invalid name", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendTalk("'name Boss"));
  EXPECT_EQ("That name is already in use", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendTalk("'name " + std::string(40, 'x')));
  Message m = Expect(*staff_, TypeCode("Name"));
  EXPECT_EQ(std::string(32, 'x'), std::string(reinterpret_cast<const char*>(m.payload.data() + 8)));
  ASSERT_EQ(0, staff_->SendTalk("'name " + std::string(32, 'x')));  // a Lord may share it
  Expect(*a, TypeCode("Name"));
  EXPECT_TRUE(server_->WaitForLog("Name \"Boss\" \"" + std::string(32, 'x') + "\""));
}

TEST_F(CommandTest, MutedSpeakersAreNotHeardUnlessTheyOutrank) {
  auto a = SignOn("Ann");
  auto b = SignOn("Bob");
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b), 0xDEAD, IdOf(*staff_)}, "'mute"));
  EXPECT_EQ("You have muted Bob, Boss", ExpectTalk(*a).text);
  a->ReceiveAll(100ms);
  ASSERT_EQ(0, b->SendTalk("from bob"));
  ASSERT_EQ(0, staff_->SendTalk("from boss"));
  client::Speech heard = ExpectTalk(*a);
  EXPECT_EQ("from boss", heard.text);  // the Lord outranks Ann
  EXPECT_TRUE(NothingOf(*a, TypeCode("Talk")));
  b->ReceiveAll(100ms);
  ASSERT_EQ(0, b->SendWhisper({IdOf(*a)}, "psst"));
  EXPECT_EQ("Ann is not accepting whispers", ExpectTalk(*b).text);
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "'unmute"));
  EXPECT_EQ("You have unmuted Bob", ExpectTalk(*a).text);
  ASSERT_EQ(0, b->SendTalk("again"));
  EXPECT_EQ("again", ExpectTalk(*a).text);
  ASSERT_EQ(0, a->SendTalk("'nowhispers"));
  EXPECT_EQ("You are rejecting whispers", ExpectTalk(*a).text);
}

TEST_F(CommandTest, RoomCommandsRewriteTheConfiguration) {
  ASSERT_EQ(0, staff_->SendTalk("'downlist 1"));
  std::string conf = WaitForConfig("");
  for (int i = 0; i < 200; ++i) {
    conf = ReadFileText(server_->data_dir() + "zanth.conf");
    if (conf.find("name=\"timeout\"") < conf.find("name=\"gate\"")) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_LT(conf.find("name=\"timeout\""), conf.find("name=\"gate\""));
  ASSERT_EQ(0, staff_->SendTalk("'uplist x"));  // no number: nothing
  ASSERT_EQ(0, staff_->SendTalk("'gotoroom hall"));
  Expect(*staff_, TypeCode("RmIn"));
  ASSERT_EQ(0, staff_->SendTalk("'delroom"));
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*staff_, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(100, info.id);
  for (int i = 0; i < 200 && conf.find("hall") != std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
    conf = ReadFileText(server_->data_dir() + "zanth.conf");
  }
  EXPECT_EQ(std::string::npos, conf.find("hall"));
  ASSERT_EQ(0, staff_->SendTalk("'purgeprops"));
  EXPECT_EQ("0 props purged", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, staff_->SendTalk("'adduser amy secret Knight"));
  EXPECT_EQ("Authentication record added", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, staff_->SendTalk("'chnggrp nobody Knight"));
  EXPECT_EQ("Authentication record not found", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, staff_->SendTalk("'authlist"));
  std::vector<std::string> lines = Lines(*staff_);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("00000000 amy Knight", lines[0]);
}

}  // namespace
}  // namespace zanth::testing

namespace zanth::testing {
namespace {

// A second staff member, signed on into a "Knight" account.
class KnightTest : public CommandTest {
 protected:
  std::unique_ptr<ChatClient> SignOnKnight(const std::string& name) {
    std::string account = "k" + name;
    EXPECT_EQ(0, staff_->SendTalk("'adduser " + account + " pw Knight"));
    EXPECT_EQ("Authentication record added", ExpectTalk(*staff_).text);
    client::Ident ident;
    ident.account = account;
    ident.password = "pw";
    auto knight = SignOn(name, ident);
    EXPECT_EQ("You now have Knight privileges", ExpectTalk(*knight).text);
    knight->ReceiveAll(100ms);
    staff_->ReceiveAll(100ms);
    return knight;
  }
};

TEST_F(KnightTest, KnightHelpAndRanks) {
  auto knight = SignOnKnight("Kay");
  auto other = SignOnKnight("Gawain");
  ASSERT_EQ(0, knight->SendTalk("'help"));
  std::vector<std::string> lines = Lines(*knight);
  for (const std::string& line : lines) {
    for (const char* hidden : {"kill ", "gmsg ", "adduser ", "authlist ", "chnggrp ",
                               "purgeprops ", "rev ", "purgemedia "}) {
      EXPECT_NE(0u, line.find(hidden)) << line;
    }
  }
  EXPECT_EQ(28u, lines.size());  // 26 commands between header and trailer
  ASSERT_EQ(0, knight->SendWhisper({IdOf(*other)}, "'gag"));  // equal ranks
  EXPECT_EQ("Gawain gagged by Kay", ExpectTalk(*staff_).text);
  EXPECT_EQ("Gawain gagged by Kay", ExpectTalk(*knight).text);  // Knights receive pages
  ASSERT_EQ(0, knight->SendWhisper({IdOf(*staff_)}, "'gag"));
  EXPECT_EQ("Boss outranks you", ExpectTalk(*knight).text);
}

TEST_F(CommandTest, GroupWithoutCommandRightsMayNotEvenAskForHelp) {
  server_->Run([](protocol::Site& site) {
    wire::PayloadWriter w;
    w.U16(2).U16(0).Fixed("Mute", 34).U16(1).U32(0).U32(0)
        .Fixed("Lord", 34).U16(100).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
    site.groups.ReplaceFromPayload(w.data(), w.size());
  });
  auto user = SignOn("Ann");
  ASSERT_EQ(0, user->SendTalk("'help"));
  EXPECT_EQ("You do not have permission to use that command", ExpectTalk(*user).text);
}

TEST_F(CommandTest, KillOfTwoTargetsQueuesTwoKills) {
  auto a = SignOn("Ann");
  auto b = SignOn("Bob");
  ASSERT_EQ(0, staff_->SendTalk("'kill"));
  EXPECT_TRUE(NothingOf(*a, TypeCode("Kill"), 200ms));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*a), IdOf(*b)}, "'kill"));
  Expect(*a, TypeCode("Kill"));
  Expect(*b, TypeCode("Kill"));
  EXPECT_TRUE(server_->WaitForLog("      ban ", 2));
}

TEST_F(CommandTest, UplistMovesTheRoomAndRewritesOnlyOnANumber) {
  std::string before = ReadFileText(server_->data_dir() + "zanth.conf");
  ASSERT_EQ(0, staff_->SendTalk("'uplist 0"));
  ASSERT_EQ(0, staff_->SendTalk("'uplist x"));
  ASSERT_EQ(0, staff_->SendTalk("'rev"));  // both handled once this answers
  ExpectTalk(*staff_);
  EXPECT_EQ(before, ReadFileText(server_->data_dir() + "zanth.conf"));
  ASSERT_EQ(0, staff_->SendTalk("'gotoroom timeout"));  // hidden but named
  ASSERT_EQ(0, staff_->SendTalk("'uplist 5"));          // second room: now first
  std::string conf;
  for (int i = 0; i < 200; ++i) {
    conf = ReadFileText(server_->data_dir() + "zanth.conf");
    if (conf.find("name=\"timeout\"") < conf.find("name=\"gate\"")) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_LT(conf.find("name=\"timeout\""), conf.find("name=\"gate\""));
}

TEST_F(CommandTest, UndoingAndRepeatedMeasures) {
  auto t = SignOn("Tom");
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'unpin"));  // not pinned
  EXPECT_EQ("Tom un-pinned by Boss", ExpectTalk(*staff_).text);
  EXPECT_TRUE(server_->WaitForLog("      pin clr "));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'namegag"));
  Expect(*t, TypeCode("Name"));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'namegag"));
  EXPECT_TRUE(NothingOf(*t, TypeCode("Name")));
  EXPECT_TRUE(server_->WaitForLog("   nmegag set ", 2));
  // propgag empties a worn list for the room at once.
  wire::PayloadWriter list;
  list.U16(1).U16(0).Zeros(10).U8(7).Zeros(9).I32(1);
  ASSERT_EQ(0, t->Send(TypeCode("Plst"), list.bytes()));
  Expect(*staff_, TypeCode("Plst"));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'propgag"));
  Message emptied = Expect(*staff_, TypeCode("Plst"));
  EXPECT_EQ(0, wire::LoadU16(emptied.payload.data() + 4));
  // release moves a user who is not in timeout to the gate.
  ASSERT_EQ(0, t->SendTalk("'gotoroom hall"));
  Expect(*t, TypeCode("RmIn"));
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'release"));
  client::RoomInfo info;
  ASSERT_TRUE(client::DecodeRoomInfo(Expect(*t, TypeCode("RmIn")).payload, &info));
  EXPECT_EQ(100, info.id);
}

TEST_F(CommandTest, TimeoutWithoutATimeoutRoomLeavesTheUserInPlace) {
  server_->Run([](protocol::Site& site) { site.rooms.Find(101)->flags &= ~rooms::kTimeout; });
  auto t = SignOn("Tom");
  ASSERT_EQ(0, staff_->SendWhisper({IdOf(*t)}, "'timeout"));
  EXPECT_EQ("Tom sent to the timeout room by Boss", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, t->SendRoomRequest(102));  // InTimeout: refused silently
  EXPECT_TRUE(NothingOf(*t, TypeCode("RmIn")));
}

TEST_F(CommandTest, StaffPageAndRepageTargets) {
  auto a = SignOn("Ann");
  auto b = SignOn("Bob");
  ASSERT_EQ(0, a->SendTalk("'page first"));
  ExpectTalk(*staff_);
  EXPECT_EQ("The staff has been paged", ExpectTalk(*a).text);
  ASSERT_EQ(0, staff_->SendTalk("'page staff only"));
  EXPECT_EQ("Page from Boss: staff only", ExpectTalk(*staff_).text);
  ASSERT_EQ(0, staff_->SendTalk("'repage to ann"));
  EXPECT_EQ("to ann", ExpectTalk(*a).text);  // the staff page left Ann the last pager
  ASSERT_EQ(0, b->SendTalk("'page second"));
  ASSERT_EQ(0, staff_->SendTalk("'repage to bob"));
  EXPECT_EQ("The staff has been paged", ExpectTalk(*b).text);
  EXPECT_EQ("to bob", ExpectTalk(*b).text);
}

TEST_F(CommandTest, OwnNameAndDoubleMutes) {
  auto a = SignOn("Ann");
  auto b = SignOn("Bob");
  ASSERT_EQ(0, a->SendTalk("'name Ann"));
  Expect(*b, TypeCode("Name"));
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "'mute"));
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "'mute"));
  EXPECT_EQ("You have muted Bob", ExpectTalk(*a).text);
  EXPECT_EQ("You have muted Bob", ExpectTalk(*a).text);
  std::size_t muted = 2;
  server_->Run([&](protocol::Site& site) { muted = site.users.Find(IdOf(*a))->muted.size(); });
  EXPECT_EQ(2u, muted);
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "'unmute"));
  EXPECT_EQ("You have unmuted Bob", ExpectTalk(*a).text);
  server_->Run([&](protocol::Site& site) { muted = site.users.Find(IdOf(*a))->muted.size(); });
  EXPECT_EQ(0u, muted);
  // A user who leaves is taken out of the lists of those it touched.
  ASSERT_EQ(0, a->SendWhisper({IdOf(*b)}, "'mute"));
  EXPECT_EQ("You have muted Bob", ExpectTalk(*a).text);
  a->Close();
  std::size_t muted_by = 1;
  for (int i = 0; i < 100 && muted_by != 0; ++i) {
    std::this_thread::sleep_for(10ms);
    server_->Run([&](protocol::Site& site) {
      muted_by = site.users.Find(IdOf(*b))->muted_by.size();
    });
  }
  EXPECT_EQ(0u, muted_by);
}

}  // namespace
}  // namespace zanth::testing
