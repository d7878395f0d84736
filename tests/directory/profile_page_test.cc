// The site profile page.
#include "directory/profile_page.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "support/test_support.h"

namespace zanth::directory {
namespace {

Settings Site(const std::string& description) {
  Settings s;
  s.site_name = "Tom & <Jerry>";
  s.site_image = "http://img/pic.png";
  s.description = description;
  s.site_url = "zanth://1.2.3.4:12005/?12005";
  return s;
}

TEST(ProfilePageTest, PiecesAndValuesAsTheyAre) {
  std::string page = ProfilePage(Site("A <b>bold</b> place"), 42);
  EXPECT_EQ(0u, page.find("<HTML>\r<HEAD>\r\t<TITLE>Tom & <Jerry> virtual chat Zanth profile</TITLE>\r"));
  EXPECT_NE(std::string::npos, page.find("\t\t\t\t\t<h1>Tom & <Jerry></h1>\r"));
  EXPECT_NE(std::string::npos, page.find("\t\t\t\tA <b>bold</b> place<br>\r"));
  EXPECT_NE(std::string::npos, page.find("\t\t\t\t\t\t\t\t\t\t42<br>\r"));
  EXPECT_NE(std::string::npos,
            page.find("<a href=\"zanth://1.2.3.4:12005/?12005\">zanth://1.2.3.4:12005/?12005</a>"));
  EXPECT_EQ(std::string::npos, page.find('\n'));  // CR line breaks only
  const std::string tail = "</td></tr></table></td></tr></table></td></tr></table></body></html>";
  EXPECT_EQ(page.size() - tail.size(), page.rfind(tail));
}

TEST(ProfilePageTest, RewriteLeavesNoTraceAndEmptyPathWritesNothing) {
  testing::TempDir dir;
  Settings s = Site(std::string(2000, 'd'));
  s.profile_file = dir.File("index.html");
  ASSERT_EQ(0, WriteProfilePage(s, 100));
  s.description = "short";
  ASSERT_EQ(0, WriteProfilePage(s, 1));
  EXPECT_EQ(ProfilePage(s, 1), testing::ReadFileText(s.profile_file));
  s.profile_file.clear();
  EXPECT_EQ(0, WriteProfilePage(s, 1));
  std::vector<std::string> names;
  ASSERT_EQ(0, platform::ListDirectory(dir.path(), &names));
  EXPECT_EQ(1u, names.size());
}

}  // namespace
}  // namespace zanth::directory
