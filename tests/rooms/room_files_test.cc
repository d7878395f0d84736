// Room description files and the media purge.
#include "rooms/room_files.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include "platform/file.h"
#include "support/test_support.h"
#include "wire/bytes.h"

namespace zanth::rooms {
namespace {

std::string Rmz(const std::string& text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(8 + size, '\0');
  out.replace(0, 4, "rmz ");
  wire::StoreU32(reinterpret_cast<std::uint8_t*>(out.data() + 4),
                     static_cast<std::uint32_t>(text.size()));
  compress(reinterpret_cast<Bytef*>(out.data() + 8), &size,
           reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
  out.resize(8 + size);
  return out;
}

RoomFields Named(std::uint16_t id, const std::string& file) {
  RoomFields f;
  f.id = id;
  f.name = file;
  f.file_name = file;
  return f;
}

class RoomFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.media_dir = dir_.path() + "/";
    ASSERT_EQ(0, platform::MakeDirectory(dir_.File("props")));
  }
  void Write(const std::string& name, const std::string& content) {
    ASSERT_EQ(0, platform::WriteWholeFile(dir_.File(name), content));
  }
  testing::TempDir dir_;
  Settings settings_;
  RoomRegistry rooms_;
  users::SoundList sounds_;
};

TEST_F(RoomFilesTest, RmzIsInflatedOnlyByNameAndHeader) {
  const std::string text = "<roomdesc background=\"sky.jpg\"></roomdesc>";
  Write("a.rmz", Rmz(text));
  Write("b.rmd", Rmz(text));
  std::string damaged = Rmz(text);
  damaged[12] ^= 0x55;
  Write("c.rmz", damaged);
  Write("d.rmz", "plain text");
  EXPECT_EQ(text, ReadRoomDescription(settings_.media_dir, RoomRecord(Named(1, "a.rmz"))));
  EXPECT_EQ(Rmz(text), ReadRoomDescription(settings_.media_dir, RoomRecord(Named(2, "b.rmd"))));
  EXPECT_EQ(damaged, ReadRoomDescription(settings_.media_dir, RoomRecord(Named(3, "c.rmz"))));
  EXPECT_EQ("plain text", ReadRoomDescription(settings_.media_dir, RoomRecord(Named(4, "d.rmz"))));
  EXPECT_EQ("", ReadRoomDescription(settings_.media_dir, RoomRecord(Named(5, "none.rmd"))));
}

TEST_F(RoomFilesTest, PurgeKeepsWhatIsNamedAndCountsTheRest) {
  Write("gate.rmd", "<roomdesc background=\"sky.jpg\"/>");
  Write("attic.rmz", Rmz("<roomdesc background=\"beams.png\"/>"));
  Write("sky.jpg", "1");
  Write("beams.png", "2");
  Write("index.html", "3");
  Write("logo.gif", "4");
  Write("ding.wav", "5");
  Write("stale1.jpg", "6");
  Write("stale2.jpg", "7");
  Write("props/123.prp", "8");
  ASSERT_EQ(0, rooms_.Append(Named(100, "gate.rmd")));
  ASSERT_EQ(0, rooms_.Append(Named(101, "attic.rmz")));
  sounds_.Add("ding", "ding.wav");
  settings_.profile_file = settings_.media_dir + "index.html";
  settings_.site_image = "http://example.invalid/img/logo.gif";
  int deleted = -1;
  EXPECT_EQ(0, PurgeMedia(settings_, rooms_, sounds_, &deleted));
  EXPECT_EQ(2, deleted);
  for (const char* kept : {"gate.rmd", "attic.rmz", "sky.jpg", "beams.png", "index.html",
                           "logo.gif", "ding.wav", "props/123.prp"}) {
    EXPECT_TRUE(platform::FileExists(dir_.File(kept))) << kept;
  }
  EXPECT_FALSE(platform::FileExists(dir_.File("stale1.jpg")));
  EXPECT_EQ(0, PurgeMedia(settings_, rooms_, sounds_, &deleted));
  EXPECT_EQ(0, deleted);

  // A description that is there but cannot be read may name any file:
  // nothing is deleted. One that is not there names none.
  ASSERT_EQ(0, rooms_.Append(Named(102, "gone.rmd")));
  Write("stale3.jpg", "9");
  ASSERT_EQ(0, symlink("loop.rmd", dir_.File("loop.rmd").c_str()));
  ASSERT_EQ(0, rooms_.Append(Named(103, "loop.rmd")));
  EXPECT_EQ(ELOOP, PurgeMedia(settings_, rooms_, sounds_, &deleted));
  EXPECT_EQ(0, deleted);
  EXPECT_TRUE(platform::FileExists(dir_.File("stale3.jpg")));
}

}  // namespace
}  // namespace zanth::rooms
