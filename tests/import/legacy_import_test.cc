// Taking over a legacy site: preferences, rooms files, the room description
// files written for them, and the first start of a server that finds them.
#include "import/legacy_import.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "app/server.h"
#include "platform/file.h"
#include "rooms/room.h"
#include "support/test_support.h"

namespace zanth::import {
namespace {

const std::string kData = std::string(ZANTH_TEST_DATA_DIR) + "/import/";

// Runs the test inside a fresh working directory: the legacy files are
// looked for relative to it.
class LegacyImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(nullptr, getcwd(buffer, sizeof buffer));
    previous_dir_ = buffer;
    ASSERT_EQ(0, chdir(dir_.path().c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, chdir(previous_dir_.c_str())); }

  static void Write(const std::string& path, const std::string& text) {
    ASSERT_EQ(0, platform::WriteWholeFile(path, text));
  }
  static void CopyData(const std::string& name, const std::string& to) {
    Write(to, testing::ReadFileText(kData + name));
  }
  static std::string Read(const std::string& path) { return testing::ReadFileText(path); }

  testing::TempDir dir_;
  std::string previous_dir_;
  Settings settings_;
  rooms::RoomRegistry rooms_;
};

TEST_F(LegacyImportTest, PreferencesAndRoomsFileMakeTheSite) {
  ASSERT_EQ(0, platform::MakeDirectory("psdata"));
  ASSERT_EQ(0, platform::MakeDirectory("media"));
  CopyData("PServer.prefs", "psdata/PServer.prefs");
  CopyData("rooms.txt", "rooms.txt");
  Write("media/Lobby.jpg", "jpeg");
  // An older, longer description of the first room is replaced whole.
  Write("media/rm86.rmd", std::string(5000, '#'));

  ASSERT_EQ(0, ImportLegacySite(settings_, rooms_));
  EXPECT_EQ("Harbour Lights", settings_.site_name);
  EXPECT_EQ("media/", settings_.media_dir);
  EXPECT_EQ("media/props/", settings_.prop_dir);
  EXPECT_EQ("http://harbour.example/", settings_.base_url);
  EXPECT_EQ("http://harbour.example/props/", settings_.prop_url);
  EXPECT_EQ("A quiet place by the sea & friends <3", settings_.description);

  // The third room ends with the file, before its ENDROOM.
  ASSERT_EQ(2u, rooms_.count());
  const rooms::RoomRecord* lobby = rooms_.Find(86);
  ASSERT_NE(nullptr, lobby);
  EXPECT_EQ("Lobby", lobby->name);
  EXPECT_EQ(rooms::kGate, lobby->flags);
  EXPECT_EQ(30, lobby->max_occupancy);
  EXPECT_EQ("rm86.rmd", lobby->file_name);
  EXPECT_EQ("rm86.rmd", lobby->description);
  const rooms::RoomRecord* garden = rooms_.Find(87);
  ASSERT_NE(nullptr, garden);
  EXPECT_EQ(rooms::kMembers | rooms::kPrivate | rooms::kHidden | rooms::kStaff | rooms::kNoCyborg,
            garden->flags);
  EXPECT_EQ(16, garden->max_occupancy);

  EXPECT_EQ(Read(kData + "rm86.rmd"), Read("media/rm86.rmd"));
  EXPECT_EQ(Read(kData + "rm87.rmd"), Read("media/rm87.rmd"));
  EXPECT_FALSE(platform::FileExists("media/rm88.rmd"));
}

TEST_F(LegacyImportTest, FilesAreLookedForInOrder) {
  Settings before = settings_;
  EXPECT_EQ(ENOENT, ImportLegacySite(settings_, rooms_));
  EXPECT_EQ(before.site_name, settings_.site_name);
  EXPECT_EQ(0u, rooms_.count());

  settings_.media_dir = "./";
  Write("pscript", "SERVERNAME \"From pscript\"\nROOM ID 5 ENDROOM\n");
  ASSERT_EQ(0, ImportLegacySite(settings_, rooms_));
  EXPECT_EQ("From pscript", settings_.site_name);
  EXPECT_EQ(1u, rooms_.count());
  EXPECT_EQ("<roomdesc background=>\r</roomdesc>\r", Read("rm5.rmd"));

  ASSERT_EQ(0, platform::MakeDirectory("psdata"));
  Write("psdata/pserver.prefs", "SERVERNAME \"lower case prefs\"\nSERVERNAME unquoted\n");
  ASSERT_EQ(0, ImportLegacySite(settings_, rooms_));
  EXPECT_EQ("lower case prefs", settings_.site_name);

  // A rooms file that names itself is followed a bounded number of times.
  Write("psdata/pserver.prefs", "ROOMSFILE \"loop\"\n");
  Write("loop", "ROOMSFILE \"loop\"\nROOM ID 9 ENDROOM\n");
  ASSERT_EQ(0, ImportLegacySite(settings_, rooms_));
  EXPECT_NE(nullptr, rooms_.Find(9));
  // A rooms file that is missing ends the import quietly.
  Write("psdata/pserver.prefs", "ROOMSFILE \"missing\"\nROOM ID 10 ENDROOM\n");
  EXPECT_EQ(0, ImportLegacySite(settings_, rooms_));
  EXPECT_NE(nullptr, rooms_.Find(10));
}

TEST_F(LegacyImportTest, OversizedRoomsAreCutToTheirLimits) {
  settings_.media_dir = "./";
  std::string text = "ROOM ID 7 NAME \"" + std::string(400, 'n') + "\"\nPICT \"" +
                     std::string(40, 'p') + ".gif\"\n";
  for (int i = 0; i < 90; ++i) text += "PICTURE ID " + std::to_string(i) + " NAME \"a.bmp\" ENDPICTURE\n";
  // The first spot carries a script longer than a script may be.
  text += "SPOT SCRIPT\n";
  for (int i = 0; i < 1000; ++i) text += std::string(60, 's') + "\n";
  text += "ENDSCRIPT\nENDSPOT\n";
  for (int i = 0; i < 75; ++i) {
    text += "SPOT ID " + std::to_string(i) + " OUTLINE";
    for (int p = 0; p < 40; ++p) text += " 123,456";
    text += "\nPICTS";
    for (int s = 0; s < 25; ++s) text += " 85,1,1";
    text += " ENDPICTS\nENDSPOT\n";
  }
  text += "ENDROOM\n";
  ImportLegacyText(text, settings_, [this](const LegacyRoom& room) {
    AddImportedRoom(room, settings_, rooms_);
  });

  std::string rmd = Read("rm7.rmd");
  auto count = [&rmd](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = rmd.find(what); at != std::string::npos; at = rmd.find(what, at + 1)) ++n;
    return n;
  };
  // 70 spots, 69 with 20 states each; picture 85 is past the 80 kept.
  EXPECT_EQ(70u, count("<spot "));
  EXPECT_EQ(69u * 20u, count("<state id="));
  EXPECT_EQ(0u, count("<img"));
  // The background is cut to 32 characters before its extension is changed.
  EXPECT_EQ(0u, rmd.find("<roomdesc background=" + std::string(29, 'p') + "jpg>\r"));
  // 40 points would take 319 characters.
  std::size_t poly = rmd.find("poly=123,456") + 5;
  EXPECT_EQ(255u, rmd.find('>', poly) - poly);
  ASSERT_EQ(1u, rooms_.count());
  std::size_t script_start = rmd.find("<script lang=iptscrae>\r") + 23;
  std::size_t script_end = rmd.find("\r\t\t</script>");
  EXPECT_EQ(kScriptLimit, script_end - script_start);
}

// A server's first start without configuration takes the legacy site over
// and writes its configuration, so the next start does not import again.
TEST_F(LegacyImportTest, FirstStartImportsOnce) {
  testing::TempDir documents;
  Write("pscript", "SERVERNAME \"Old Site\"\nROOM ID 300 NAME \"Plaza\" ENDROOM\n");
  ServerOptions options;
  options.documents_folder = documents.path();
  options.handle_signals = false;
  std::string data = documents.path() + "/My Zanth/";
  {
    Server server(options);
    // The ports may be taken on this machine; the configuration is written
    // before the listeners open.
    (void)server.Start();
    EXPECT_EQ("Old Site", server.settings().site_name);
    EXPECT_EQ(data + "media/", server.settings().media_dir);
    EXPECT_TRUE(platform::FileExists(data + "media/rm300.rmd"));
  }
  std::string log = Read(data + "zanth.log");
  EXPECT_NE(std::string::npos, log.find("No config files, searching for legacy server files"));
  EXPECT_EQ(std::string::npos, log.find("first run setup"));
  std::string config = Read(data + "zanth.conf");
  EXPECT_NE(std::string::npos, config.find("Old Site"));
  EXPECT_NE(std::string::npos, config.find("Plaza"));

  Write("pscript", "SERVERNAME \"Changed\"\n");
  Server again(options);
  (void)again.Start();
  EXPECT_EQ("Old Site", again.settings().site_name);
  ASSERT_NE(nullptr, again.site().rooms.Find(300));
}

}  // namespace
}  // namespace zanth::import
