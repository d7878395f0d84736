// The site profile page.
#include "directory/profile_page.h"

#include "core/log.h"
#include "platform/file.h"

namespace zanth::directory {
namespace {

constexpr char kMakerSite[] = "http://zanth.example/";
constexpr char kMakerLogo[] = "http://zanth.example/images/zanthlogo.gif";
constexpr char kMakerName[] = "The Zanth Personal Server";

}  // namespace

std::string ProfilePage(const Settings& s, std::uint16_t population) {
  const std::string& name = s.site_name;
  std::string page;
  page += "<HTML>\r<HEAD>\r\t<TITLE>" + name + " virtual chat Zanth profile</TITLE>\r";
  page += "\t<meta name=\"description\" content=\"The Zanth virtual chat room site profile for " +
          name + "\">\r";
  page +=
      "<meta name=\"keywords\" content=\"virtual chat, visual chat, chat, chat room, "
      "interactive, people, software, community, dating, avatar chat\">";
  page += "</HEAD>\r\r";
  page +=
      "<body topmargin=\"0\" leftmargin=\"0\" bgcolor=white>\r\t<table border=\"0\" "
      "cellpadding=\"0\" cellspacing=\"0\" width=100%>\r";
  page += "\t\t<tr>\r\t\t\t<td>\r\t\t\t\t<p>\r\t\t\t\t\t<a href=\"" + std::string(kMakerSite) +
          "\">\r";
  page += "\t\t\t\t\t\t<img src=\"" + std::string(kMakerLogo) +
          "\" border=\"0\" hspace=0 vspace=0 alt=\"The Zanth virtual chat room software\">\r";
  page += "\t\t\t\t\t</a>\r\t\t\t\t</p>\r\t\t\t</td>\r\t\t</tr>\r\t\t<tr>\r";
  page += "\t\t\t<td nowrap valign=top bgcolor=\"#E0E0FF\">\r\t\t\t\t<center>\r\t\t\t\t<a href=\"" +
          std::string(kMakerSite) + "\">" + kMakerName + "</a>\r";
  page += "\t\t\t\t</center>\r\t\t\t</td>\r\t\t</tr>\r\t</table>\r\r";
  page += "\t<table cellpadding=\"2\" cellspacing=\"0\" height=100% width=100% border=\"0\">\r";
  page +=
      "\t\t<tr>\r\t\t\t<td width=70% valign=top>\r\t\t\t\t<FONT face=\"arial\" size=3 "
      "style=\"FONT-SIZE: 10pt\">\r";
  page += "\t\t\t\t<center>\r\t\t\t\t\t<h1>" + name + "</h1>\r";
  page += "\t\t\t\t\t<img src=\"" + s.site_image + "\">\r";
  page += "\t\t\t\t</center>\r\t\t\t\t" + s.description + "<br>\r";
  page += "\t\t\t</td>\r\t\t\t<td width=30% valign=top bgcolor=\"#FFFFCC\">\r";
  page += "\t\t\t\t<table width=100%>\r\t\t\t\t\t<tr bgcolor=\"#FFEE66\">\r\t\t\t\t\t\t<td nowrap width=100%>\r";
  page += "\t\t\t\t\t\t\t<b>Vital Statistics</b><br>\r\t\t\t\t\t\t</td>\r\t\t\t\t\t</tr>\r";
  page += "\t\t\t\t\t<tr>\r\t\t\t\t\t\t<td>\r\t\t\t\t\t\t\t<table>\r\t\t\t\t\t\t\t\t<tr>\r";
  page += "\t\t\t\t\t\t\t\t\t<td align=right>\r\t\t\t\t\t\t\t\t\t\t<b>\r";
  page +=
      "\t\t\t\t\t\t\t\t\t\t\tPopulation:<br>\r\t\t\t\t\t\t\t\t\t\t\tAddress:\r"
      "\t\t\t\t\t\t\t\t\t\t</b>\r";
  page += "\t\t\t\t\t\t\t\t\t</td>\r\t\t\t\t\t\t\t\t\t<td>\r\t\t\t\t\t\t\t\t\t\t" +
          std::to_string(population) + "<br>\r";
  page += "\t\t\t\t\t\t\t\t\t\t<a href=\"" + s.site_url + "\">" + s.site_url + "</a><br>\r";
  page += "</td></tr></table></td></tr></table></td></tr></table></body></html>";
  return page;
}

int WriteProfilePage(const Settings& settings, std::uint16_t population) {
  if (settings.profile_file.empty()) return 0;
  int rc = platform::WriteFileAtomically(settings.profile_file, ProfilePage(settings, population));
  if (rc != 0) LogError(rc, "writing profile page %s", settings.profile_file.c_str());
  return rc;
}

}  // namespace zanth::directory
