// Placing the browser page in the media folder: what is copied, what is
// never replaced, and where the page's files are looked for.
#include "app/web_client.h"

#include <gtest/gtest.h>
#include <algorithm>
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
  WebClientPlacement placed;
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_TRUE(placed.fresh);
  EXPECT_EQ(4, placed.written);
  EXPECT_EQ("<html>page</html>", testing::ReadFileText(media_ + "web/index.html"));
  EXPECT_EQ("body{}", testing::ReadFileText(media_ + "web/style.css"));
  EXPECT_EQ("export {};", testing::ReadFileText(media_ + "web/js/deep/x.js"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/package.json"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/notes.txt~"));
  // The manifest names every page file, the top index.html last.
  std::string manifest = testing::ReadFileText(media_ + "web/" + kWebClientManifest);
  EXPECT_EQ(4, std::count(manifest.begin(), manifest.end(), '\n'));
  EXPECT_TRUE(manifest.ends_with(" index.html\n")) << manifest;
}

TEST_F(WebClientTest, AnUpgradeRenewsThePageAndKeepsWhatTheOwnerMade) {
  // A page an older server placed, with no manifest, and a file of the
  // owner's own beside it.
  ASSERT_EQ(0, platform::MakeDirectory(media_ + "web/"));
  Write(media_ + "web/index.html", "<html>old page</html>");
  Write(media_ + "web/custom.css", "h1{color:red}");
  WebClientPlacement placed;
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_FALSE(placed.fresh);
  EXPECT_EQ(4, placed.written);
  EXPECT_EQ("<html>page</html>", testing::ReadFileText(media_ + "web/index.html"));
  EXPECT_EQ("<html>old page</html>", testing::ReadFileText(media_ + "web/index.html.bak"));
  EXPECT_EQ(std::vector<std::string>{"index.html"}, placed.set_aside);

  // The owner edits the style sheet; a start with the same page keeps it.
  Write(media_ + "web/style.css", "body{color:blue}");
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_EQ(0, placed.written);
  EXPECT_EQ("body{color:blue}", testing::ReadFileText(media_ + "web/style.css"));

  // A new page: the untouched script is replaced, the edited style sheet
  // too, its edit kept beside it; the owner's own file stays.
  Write(source_ + "js/app.js", "import './deep/x.js'; // 2");
  Write(source_ + "style.css", "body{margin:0}");
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_EQ(2, placed.written);
  EXPECT_EQ(std::vector<std::string>{"style.css"}, placed.set_aside);
  EXPECT_EQ("import './deep/x.js'; // 2", testing::ReadFileText(media_ + "web/js/app.js"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/app.js.bak"));
  EXPECT_EQ("body{margin:0}", testing::ReadFileText(media_ + "web/style.css"));
  EXPECT_EQ("body{color:blue}", testing::ReadFileText(media_ + "web/style.css.bak"));
  EXPECT_EQ("h1{color:red}", testing::ReadFileText(media_ + "web/custom.css"));

  // A deleted page file comes back; nothing else changes.
  ASSERT_EQ(0, platform::RemoveFile(media_ + "web/js/deep/x.js"));
  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_EQ(1, placed.written);
  EXPECT_TRUE(placed.set_aside.empty());
}

TEST_F(WebClientTest, ACopyCutShortLeavesNoHalfFileAndIsTakenUpAgain) {
  // A full disk while the scripts are written: the copy stops before
  // index.html, and no half-written script is left to be kept later.
  platform::InjectWriteFault(media_ + "web/js/", ENOSPC);
  WebClientPlacement placed;
  EXPECT_EQ(ENOSPC, PlaceWebClient(source_, media_, &placed));
  platform::InjectWriteFault("", 0);
  EXPECT_FALSE(platform::FileExists(media_ + "web/index.html"));
  EXPECT_FALSE(platform::FileExists(media_ + "web/js/app.js"));

  ASSERT_EQ(0, PlaceWebClient(source_, media_, &placed));
  EXPECT_TRUE(placed.fresh);
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
