// Placing the browser page in the media folder: what is copied, what is
// never replaced, and where the page's files are looked for.
#include "app/web_client.h"

#include <gtest/gtest.h>
#include <cerrno>

#include "platform/file.h"
#include "support/test_support.h"

namespace zanth {
namespace {

class WebClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.File("page/");
    media_ = dir_.File("media/");
    for (const std::string& d : {source_, source_ + "js/", source_ + "js/deep/", media_}) {
      ASSERT_EQ(0, platform::MakeDirectory(d));
    }
    Write(source_ + "index.html", "<html>page</html>");
    Write(source_ + "style.css", "body{}");
    Write(source_ + "js/app.js", "import './deep/x.js';");
    Write(source_ + "js/deep/x.js", "export {};");
    Write(source_ + "js/package.json", "{\"type\": \"module\"}");
    Write(source_ + "notes.txt~", "backup");
  }
  static void Write(const std::string& path, const std::string& text) {
    ASSERT_EQ(0, platform::WriteWholeFile(path, text));
  }
  testing::TempDir dir_;
  std::string source_;
  std::string media_;
};

TEST_F(WebClientTest, CopiesOnlyThePageFiles) {
  int copied = -1;
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &copied));
  EXPECT_EQ(4, copied);
  EXPECT_EQ("<html>page</html>", testing::ReadFileText(media_ + "web/index.html"));
  EXPECT_EQ("body{}", testing::ReadFileText(media_ + "web/style.css"));
  EXPECT_EQ("export {};", testing::ReadFileText(media_ + "web/js/deep/x.js"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/package.json"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/notes.txt~"));
}

TEST_F(WebClientTest, NeverReplacesASiteOwnersFiles) {
  ASSERT_EQ(0, platform::MakeDirectory(media_ + "web/"));
  Write(media_ + "web/style.css", "body{color:red}");
  int copied = 0;
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &copied));
  EXPECT_EQ(3, copied);  // index.html and both scripts
  EXPECT_EQ("body{color:red}", testing::ReadFileText(media_ + "web/style.css"));

  // With an index.html in place nothing is looked at again, not even a
  // deleted script.
  ASSERT_EQ(0, platform::RemoveFile(media_ + "web/js/app.js"));
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &copied));
  EXPECT_EQ(0, copied);
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/app.js"));
}

TEST_F(WebClientTest, ACopyCutShortLeavesNoHalfFileAndIsTakenUpAgain) {
  // A full disk while the scripts are written: the copy stops before
  // index.html, and no half-written script is left to be kept later.
  platform::InjectWriteFault(media_ + "web/js/", ENOSPC);
  int copied = 0;
  EXPECT_EQ(ENOSPC, PlaceWebClient(source_, media_, &copied));
  platform::InjectWriteFault("", 0);
  EXPECT_FALSE(platform::FileExists(media_ + "web/index.html"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/app.js"));

  ASSERT_EQ(0, PlaceWebClient(source_, media_, &copied));
  EXPECT_EQ("import './deep/x.js';", testing::ReadFileText(media_ + "web/js/app.js"));
  EXPECT_TRUE(platform::FileExists(media_ + "web/index.html"));
}

TEST_F(WebClientTest, FindsTheFirstCandidateWithAnIndex) {
  std::vector<std::string> candidates = WebClientCandidates("/opt/zanth/bin/zanthd");
  ASSERT_FALSE(candidates.empty());
  EXPECT_EQ("/opt/zanth/bin/../share/zanthd/web/", candidates[0]);
  EXPECT_EQ(source_, FindWebClientFiles({dir_.File("nothing/"), media_, source_}));
  EXPECT_EQ("", FindWebClientFiles({dir_.File("nothing/"), media_}));
}

}  // namespace
}  // namespace zanth
