// Uploads into the media folder, the site rating and the directory
// information, over loopback. The staff member is a Lord.
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <map>

#include "directory/profile_page.h"
#include "import/legacy_import.h"
#include "platform/file.h"
#include "session_fixture.h"
#include "wire/bytes.h"

namespace zanth::testing {
namespace {

class SiteTest : public SessionTest {
 protected:
  void SetUp() override {
    StartServer();
    client::Ident lord;
    lord.account = "Lord";
    lord.password = "Velk*Baron";
    staff_ = SignOn("Boss", lord);
    ExpectTalk(*staff_);
    staff_->ReceiveAll(100ms);
  }

  static std::vector<std::uint8_t> Segment(const std::string& name, const std::string& bytes,
                                           bool last) {
    wire::PayloadWriter w;
    w.Fixed(name, 32).U16(static_cast<std::uint16_t>(bytes.size())).U16(0).U32(0)
        .U8(last ? 1 : 0).Bytes(bytes.data(), bytes.size());
    return std::move(w.bytes());
  }
  static std::vector<std::uint8_t> Name(const std::string& name) {
    wire::PayloadWriter w;
    w.ZString(name);
    return std::move(w.bytes());
  }
  std::string Media(const std::string& name) { return server_->data_dir() + "media/" + name; }

  std::unique_ptr<ChatClient> staff_;
};

TEST_F(SiteTest, UploadInThreeSegments) {
  auto other = SignOn("Ann");
  ASSERT_EQ(0, other->Send(TypeCode("sUpl"), Name("P")));
  EXPECT_EQ("You do not have authoring permission", ExpectTalk(*other).text);
  std::ofstream(Media("P.tmp")) << "an old and much longer tail";
  ASSERT_EQ(0, staff_->Send(TypeCode("sUpl"), Name("P")));
  Expect(*staff_, TypeCode("FAck"));
  ASSERT_EQ(0, staff_->Send(TypeCode("fSeg"), Segment("P", "one ", false)));
  ASSERT_EQ(0, staff_->Send(TypeCode("fSeg"), Segment("P", "two ", false)));
  Expect(*staff_, TypeCode("FAck"));
  Expect(*staff_, TypeCode("FAck"));
  EXPECT_EQ("one two ", ReadFileText(Media("P.tmp")));
  ASSERT_EQ(0, staff_->Send(TypeCode("fSeg"), Segment("P", "three", true)));
  Expect(*staff_, TypeCode("FAck"));
  std::string changed;
  ASSERT_TRUE(client::DecodeZString(Expect(*other, TypeCode("FChn")).payload, &changed));
  EXPECT_EQ("P", changed);
  EXPECT_EQ("one two three", ReadFileText(Media("P")));
  struct stat st;
  EXPECT_NE(0, stat(Media("P.tmp").c_str(), &st));
}

TEST_F(SiteTest, UnsafeNamesAreRefusedAndLeftUploadsAreCleaned) {
  for (const char* name : {"../escape", "a/b", ".hidden", "", "..",
                           "this-name-is-far-too-long-to-fit-32"}) {
    ASSERT_EQ(0, staff_->Send(TypeCode("sUpl"), Name(name)));
  }
  EXPECT_TRUE(NothingOf(*staff_, TypeCode("FAck")));
  struct stat st;
  EXPECT_NE(0, stat((server_->data_dir() + "escape.tmp").c_str(), &st));
  ASSERT_EQ(0, staff_->Send(TypeCode("sUpl"), Name("half")));
  Expect(*staff_, TypeCode("FAck"));
  EXPECT_EQ(0, stat(Media("half.tmp").c_str(), &st));
  staff_->Close();
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    std::this_thread::sleep_for(10ms);
    gone = stat(Media("half.tmp").c_str(), &st) != 0;
  }
  EXPECT_TRUE(gone);
}

TEST_F(SiteTest, RatingAndDirectoryInformation) {
  auto other = SignOn("Ann");
  wire::PayloadWriter off;
  off.U8(0).U8(0).I16(1).I16(2).I16(3).I16(4);
  ASSERT_EQ(0, staff_->Send(TypeCode("Rtng"), off.bytes()));
  EXPECT_TRUE(NothingOf(*other, TypeCode("Rtng")));
  wire::PayloadWriter on;
  on.U8(1).U8(0).I16(5).I16(6).I16(7).I16(8);
  ASSERT_EQ(0, staff_->Send(TypeCode("Rtng"), on.bytes()));
  std::array<std::uint16_t, 4> rating{};
  ASSERT_TRUE(client::DecodeRating(Expect(*other, TypeCode("Rtng")).payload, &rating));
  EXPECT_EQ(8, rating[3]);
  client::SignOnResult later;
  auto late = SignOn("Late", {}, &later);
  EXPECT_EQ("Rtng", Types(later.messages).front());

  wire::PayloadWriter info;
  info.Fixed("New Name", 65).Fixed("zanth://x/", 512).Fixed("http://img/", 512)
      .Fixed("A fine site", 1024).U8(0).U8(0).U8(1);
  ASSERT_EQ(0, other->Send(TypeCode("DrIn"), info.bytes()));
  EXPECT_EQ("You do not have console permission", ExpectTalk(*other).text);
  ASSERT_EQ(0, staff_->Send(TypeCode("DrIn"), info.bytes()));
  std::string name;
  ASSERT_TRUE(client::DecodeZString(Expect(*other, TypeCode("SNme")).payload, &name));
  EXPECT_EQ("New Name", name);
  ASSERT_EQ(0, staff_->SendEmpty(TypeCode("REDI")));
  Message back = Expect(*staff_, TypeCode("DrIn"));
  ASSERT_GE(back.payload.size(), 2116u);
  EXPECT_EQ("A fine site", std::string(reinterpret_cast<const char*>(back.payload.data() + 1089)));
  EXPECT_EQ(1, back.payload[2115]);
  std::string conf = WaitForConfig("A fine site");
  EXPECT_NE(std::string::npos, conf.find("members=\"yes\""));
  EXPECT_NE(std::string::npos, conf.find("violence=\"8\""));
}

TEST(SiteRestartTest, RatingAndDirectoryInformationSurviveAKill) {
  ServerProcess server;
  server.WriteConfig(InProcessServer::DefaultRooms());
  ASSERT_TRUE(server.Start());
  {
    client::ChatClient c;
    ASSERT_EQ(0, c.Connect("127.0.0.1", server.chat_port(), "127.5.0.1"));
    client::Ident lord;
    lord.account = "Lord";
    lord.password = "Velk*Baron";
    client::SignOnResult result;
    ASSERT_EQ(0, c.SignOn(lord, 5s, &result));
    Message m;
    ASSERT_TRUE(c.WaitFor(TypeCode("Grup"), &m, 5s));  // authenticated
    wire::PayloadWriter on;
    on.U8(1).U8(0).I16(1).I16(2).I16(3).I16(4);
    ASSERT_EQ(0, c.Send(TypeCode("Rtng"), on.bytes()));
    ASSERT_TRUE(c.WaitFor(TypeCode("Rtng"), &m, 5s));
    wire::PayloadWriter info;
    info.Fixed("Kept", 65).Zeros(2116 - 65);
    ASSERT_EQ(0, c.Send(TypeCode("DrIn"), info.bytes()));
    ASSERT_TRUE(c.WaitFor(TypeCode("SNme"), &m, 5s));
  }
  server.Kill();
  ASSERT_TRUE(server.Start());
  client::ChatClient c;
  ASSERT_EQ(0, c.Connect("127.0.0.1", server.chat_port(), "127.5.0.2"));
  client::SignOnResult result;
  ASSERT_EQ(0, c.SignOn(client::Ident{}, 5s, &result));
  bool rated = false;
  std::string name;
  for (const Message& m : result.messages) {
    if (m.type == TypeCode("Rtng")) rated = true;
    if (m.type == TypeCode("SNme")) client::DecodeZString(m.payload, &name);
  }
  EXPECT_TRUE(rated);
  EXPECT_EQ("Kept", name);
  EXPECT_EQ(0, server.Stop());
}

// A full disk while the site runs: every file the server rewrites keeps its
// previous version, each failure is logged, no temporary file is left, and
// visitors go on talking. Once the disk has room the same saves succeed.
TEST_F(SiteTest, FullDiskKeepsEveryPreviousFile) {
  const std::string data = server_->data_dir();
  auto upload = [this](const std::string& content) {
    ASSERT_EQ(0, staff_->Send(TypeCode("sUpl"), Name("U")));
    ASSERT_EQ(0, staff_->Send(TypeCode("fSeg"), Segment("U", content, true)));
    staff_->ReceiveAll(200ms);
  };
  props::PropId prop{};
  prop[0] = 7;
  const std::uint8_t prop_bytes[64] = {1, 2, 3};
  auto save_everything = [&](const std::string& site_name) {
    server_->Run([&](protocol::Site& site) {
      site.settings.site_name = site_name;
      site.settings.profile_file = data + "media/index.html";
      site.SaveConfiguration();
      site.SaveGroups();
      site.SaveAccounts();
      users::BanRecord ban;
      ban.name = site_name;
      site.bans.AddFront(ban);
      site.SaveBans();
      std::string prop_file;
      (void)site.props.Store(prop, static_cast<std::int32_t>(site_name.size()), prop_bytes,
                             site_name.size(), &prop_file);
      (void)directory::WriteProfilePage(site.settings, 1);
      import::LegacyRoom room;
      room.id = 900 + static_cast<int>(site_name.size());
      room.name = site_name;
      site.settings.media_dir = data + "media/";
      import::AddImportedRoom(room, site.settings, site.rooms);
    });
  };
  save_everything("Before");
  upload("old upload");
  const std::vector<std::string> files = {"zanth.conf", "groups", "passwds", "banlist",
                                          "propcache.idx", "media/index.html", "media/U"};
  std::map<std::string, std::string> before;
  for (const std::string& f : files) before[f] = ReadFileText(data + f);
  ASSERT_NE(std::string::npos, before["zanth.conf"].find("Before"));

  platform::InjectWriteFault(data, ENOSPC);
  save_everything("After the disk filled");
  upload("a new upload that never lands");
  platform::InjectWriteFault("", 0);

  for (const std::string& f : files) EXPECT_EQ(before[f], ReadFileText(data + f)) << f;
  std::vector<std::string> names;
  for (const std::string& dir : {data, data + "media/", data + "media/props/"}) {
    ASSERT_EQ(0, platform::ListDirectory(dir, &names));
    for (const std::string& name : names) EXPECT_FALSE(name.ends_with(".tmp")) << dir << name;
  }
  // Configuration, groups, accounts, bans, prop file, profile page, room
  // description and upload (its first segment).
  EXPECT_TRUE(server_->WaitForLog("(No space left on device)", 8)) << server_->Log();
  ASSERT_EQ(0, staff_->SendTalk("still serving"));
  EXPECT_EQ("still serving", ExpectTalk(*staff_).text);

  save_everything("Room again");
  EXPECT_NE(std::string::npos, ReadFileText(data + "zanth.conf").find("Room again"));
  EXPECT_NE(before["propcache.idx"], ReadFileText(data + "propcache.idx"));
}

}  // namespace
}  // namespace zanth::testing
