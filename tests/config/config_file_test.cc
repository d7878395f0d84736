// Tests for reading and writing the configuration file, in both its forms.
#include "config/config_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "config/text.h"
#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"
#include "support/test_support.h"

namespace zanth::config {
namespace {

using zanth::testing::ReadFileText;
using zanth::testing::TempDir;

// Stands in for the room registry and the sound list: keeps what it reads
// and writes back what it holds.
class FakeHooks : public ConfigHooks {
 public:
  void ReadRoom(const Element& room) override { rooms.push_back(room); }
  void ReadSound(const std::string& name, const std::string& file) override {
    sounds.push_back({name, file});
  }
  void WriteSounds(std::vector<Element>* out) override {
    for (const auto& [name, file] : sounds) {
      Element sound{"sound", {}, name, {}};
      sound.SetAttribute("src", file);
      out->push_back(sound);
    }
  }
  void WriteRooms(std::vector<Element>* out) override {
    out->insert(out->end(), rooms.begin(), rooms.end());
  }
  std::vector<Element> rooms;
  std::vector<std::pair<std::string, std::string>> sounds;
};

Element Prop(int x, int y, const std::string& id) {
  return {
      "prop",
      {{"horz", std::to_string(x)}, {"vert", std::to_string(y)}, {"id", id}},
      "",
      {}};
}

// Formatting puts layout white space around child elements, so texts are
// compared without it.
std::string Trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void ExpectSameElement(const Element& expected, const Element& actual) {
  EXPECT_EQ(expected.name, actual.name);
  EXPECT_EQ(expected.attributes, actual.attributes) << expected.name;
  EXPECT_EQ(Trimmed(expected.text), Trimmed(actual.text)) << expected.name;
  ASSERT_EQ(expected.children.size(), actual.children.size()) << expected.name;
  for (std::size_t i = 0; i < expected.children.size(); ++i) {
    ExpectSameElement(expected.children[i], actual.children[i]);
  }
}

// Every setting the file holds.
void ExpectSameFileSettings(const Settings& a, const Settings& b) {
  EXPECT_EQ(a.site_name, b.site_name);
  EXPECT_EQ(a.directory_id, b.directory_id);
  EXPECT_EQ(a.bind_address, b.bind_address);
  EXPECT_EQ(a.chat_port, b.chat_port);
  EXPECT_EQ(a.http_port, b.http_port);
  EXPECT_EQ(a.listen_address, b.listen_address);
  EXPECT_EQ(a.site_flags, b.site_flags);
  EXPECT_EQ(a.site_capacity, b.site_capacity);
  EXPECT_EQ(a.private_site, b.private_site);
  EXPECT_EQ(a.members_site, b.members_site);
  EXPECT_EQ(a.prop_url, b.prop_url);
  EXPECT_EQ(a.prop_dir, b.prop_dir);
  EXPECT_EQ(a.base_url, b.base_url);
  EXPECT_EQ(a.media_dir, b.media_dir);
  EXPECT_EQ(a.profile_url, b.profile_url);
  EXPECT_EQ(a.profile_file, b.profile_file);
  EXPECT_EQ(a.site_url, b.site_url);
  EXPECT_EQ(a.cgi_path, b.cgi_path);
  EXPECT_EQ(a.site_image, b.site_image);
  EXPECT_EQ(a.description, b.description);
  EXPECT_EQ(a.live_info_file, b.live_info_file);
  EXPECT_EQ(a.pid_file, b.pid_file);
  EXPECT_EQ(a.rating_present, b.rating_present);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.rating[i], b.rating[i]) << i;
  EXPECT_EQ(a.directory_server, b.directory_server);
  EXPECT_EQ(a.https_port, b.https_port);
  EXPECT_EQ(a.tls_certificate, b.tls_certificate);
  EXPECT_EQ(a.tls_key, b.tls_key);
  EXPECT_EQ(a.trusted_proxies, b.trusted_proxies);
  EXPECT_EQ(a.metrics_from, b.metrics_from);
}

Settings FullSettings() {
  Settings s;
  s.site_name = "Tea & <Biscuits> \"Club\"";
  s.directory_id = "ABCDEF0123";
  s.bind_address = "192.168.1.20";
  s.chat_port = 9998;
  s.http_port = 8081;
  s.listen_address = "192.168.1.20";
  s.site_flags = kSiteHidden;
  s.site_capacity = 250;
  s.private_site = true;
  s.members_site = true;
  s.prop_url = "http://tea.example/props/";
  s.prop_dir = "/srv/tea/props/";
  s.base_url = "http://tea.example/media/";
  s.media_dir = "/srv/tea/media/";
  s.profile_url = "http://tea.example/profile.html";
  s.profile_file = "/srv/tea/media/zanthprofile.html";
  s.site_url = "http://tea.example/";
  s.cgi_path = "/cgi-bin/";
  s.site_image = "logo.png";
  s.description = "Line one\nline two\twith tab\r\nand  spaces ";
  s.live_info_file = "/srv/tea/live.txt";
  s.pid_file = "/run/zanthd.pid";
  s.rating_present = true;
  s.rating[0] = 0;
  s.rating[1] = 1;
  s.rating[2] = -3;
  s.rating[3] = 300;
  s.directory_server = "dir.example:12000";
  s.https_port = 8443;
  s.tls_certificate = "/etc/letsencrypt/live/tea.example/fullchain.pem";
  s.tls_key = "/etc/letsencrypt/live/tea.example/privkey.pem";
  s.trusted_proxies = "127.0.0.1, 10.0.0.2";
  s.metrics_from = "192.0.2.7 192.0.2.8";
  return s;
}

// Collects log lines for as long as it lives.
class LogCapture {
 public:
  explicit LogCapture(bool verbose = false) {
    GetLogger().set_verbose(verbose);
    GetLogger().SetSink(
        [this](const std::string& line) { lines.push_back(line); });
  }
  ~LogCapture() {
    GetLogger().SetSink(nullptr);
    GetLogger().set_verbose(false);
  }
  std::vector<std::string> lines;
};

class ConfigFileTest : public ::testing::Test {
 protected:
  int Read(const std::string& text, ConfigHooks* hooks) {
    EXPECT_EQ(0, platform::WriteWholeFile(path_, text));
    return ReadConfiguration(path_, &settings_, hooks);
  }
  int ReadXml(const std::string& body) {
    return Read("<?xml version=\"1.0\"?>\n<zanthd>" + body + "</zanthd>\n",
                &hooks_);
  }

  TempDir dir_;
  std::string path_ = dir_.File("zanth.conf");
  Settings settings_;
  FakeHooks hooks_;
};

TEST_F(ConfigFileTest, EmptyRootOrMissingFileAppliesNothing) {
  const Settings defaults;
  EXPECT_EQ(0, ReadXml(""));
  ExpectSameFileSettings(defaults, settings_);
  EXPECT_TRUE(hooks_.rooms.empty());

  settings_.site_name = "Kept";
  settings_.profile_url = settings_.profile_file = settings_.cgi_path = "x/";
  EXPECT_EQ(ENOENT,
            ReadConfiguration(dir_.File("absent"), &settings_, &hooks_));
  EXPECT_EQ("Kept", settings_.site_name);
  EXPECT_EQ("", settings_.profile_url);
  EXPECT_EQ("", settings_.profile_file);
  EXPECT_EQ("", settings_.cgi_path);
}

// Whatever cannot be read to its end is refused with the place and the
// reason, nothing in it is applied, and the file is not written (a lenient
// reading would have dropped rooms and then saved the file without them).
TEST_F(ConfigFileTest, DamagedFileIsRefusedWithItsPlaceAndLeftAsItIs) {
  struct Case {
    std::string text;
    int line;
    int column;
    const char* message;
  };
  const std::string kDeclaration = "<?xml version=\"1.0\"?>\n";
  const Case kCases[] = {
      // A room left open swallows the rooms after it.
      {kDeclaration + "<zanthd>\n<sitename port=\"9000\">S</sitename>\n"
                      "<room id=\"1\" name=\"a\">\n<room id=\"2\"/>\n</zanthd>\n",
       6, 10, "Opening and ending tag mismatch: room line 4 and zanthd"},
      {kDeclaration + "<zanthd><siteurl>a & b</siteurl></zanthd>", 2, 21, "xmlParseEntityRef"},
      {kDeclaration + "<zanthd><x:room/></zanthd>", 2, 16, "Namespace prefix x"},
      {kDeclaration + "<zanthd><sitename>Caf\xE9</sitename></zanthd>", 2, 22,
       "Input is not proper UTF-8"},
      {kDeclaration, 2, 1, "Start tag expected"},
      {kDeclaration + "<passwds><user/></passwds>", 2, 0, "the root element is not <zanthd>"},
      // Older-form text that does not parse to its end.
      {"sitename = My Site\n", 1, 1, "text that is not an element"},
      {"<siteurl>http://a/</siteurl>\n trailing", 2, 2, "text that is not an element"},
      {"<sitename port=9000>no end", 1, 1, "no closing tag </sitename>"},
      {"\n  <sitename a=\"open>x", 2, 3, "a tag that does not end"},
      {"<siteurl>u</siteurl><room id=1>", 1, 21, "a room that does not end"},
      {"<sitename", 1, 1, "a tag that does not end"},
      // Neither form: writing defaults over it would lose it.
      {"", 0, 0, "no XML declaration, and no element of the older format"},
      {"<zanthd><room id=\"1\"/></zanthd>", 0, 0, "no XML declaration"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    Settings settings;
    FakeHooks hooks;
    ASSERT_EQ(0, platform::WriteWholeFile(path_, c.text));
    ReadFailure failure;
    EXPECT_EQ(kFailed, ReadConfiguration(path_, &settings, &hooks, &failure));
    EXPECT_EQ(path_, failure.path);
    EXPECT_EQ(c.line, failure.line);
    EXPECT_EQ(c.column, failure.column);
    EXPECT_NE(std::string::npos, failure.message.find(c.message)) << failure.message;
    ExpectSameFileSettings(Settings(), settings);
    EXPECT_TRUE(hooks.rooms.empty());
    EXPECT_EQ(c.text, ReadFileText(path_));
    EXPECT_FALSE(platform::FileExists(path_ + ".bak"));
  }

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<room>";
  ReadFailure failure;
  EXPECT_EQ(kFailed, Read(deep, &hooks_));

  // A file that is there but cannot be read is no missing file.
  ASSERT_EQ(0, platform::MakeDirectory(dir_.File("dir.conf")));
  EXPECT_EQ(EISDIR, ReadConfiguration(dir_.File("dir.conf"), &settings_, &hooks_, &failure));
  EXPECT_EQ(dir_.File("dir.conf") + ": Is a directory; fix the file, or move it away to start "
                                    "a new site",
            failure.Text());
}

TEST(ReadFailureTest, TextIsOneLineWithThePlaceWhenThereIsOne) {
  ReadFailure failure{"/d/zanth.conf", 0, 0, "Input is not proper UTF-8, indicate encoding !\n"
                                             "Bytes: 0xE9 0x3C\n"};
  EXPECT_EQ("/d/zanth.conf: Input is not proper UTF-8, indicate encoding ! Bytes: 0xE9 0x3C; "
            "fix the file, or move it away to start a new site",
            failure.Text());
  failure.SetPlace("ab\ncd\nef", 7);
  EXPECT_EQ(3, failure.line);
  EXPECT_EQ(2, failure.column);
  failure.message = "m";
  EXPECT_EQ("/d/zanth.conf: line 3, column 2: m; fix the file, or move it away to start a new site",
            failure.Text());
  failure.column = 0;
  EXPECT_EQ(0u, failure.Text().find("/d/zanth.conf: line 3: m;"));
}

TEST_F(ConfigFileTest, SiteFlagsCountWhenPresentAndAreNeverCleared) {
  ASSERT_EQ(0, ReadXml("<sitename hidden=\"no\" private=\"\" members=\"0\">"
                       "S</sitename>"));
  EXPECT_TRUE(settings_.hidden());
  EXPECT_TRUE(settings_.private_site);
  EXPECT_TRUE(settings_.members_site);
  ASSERT_EQ(0, ReadXml("<sitename>T</sitename>"));
  EXPECT_TRUE(settings_.hidden() && settings_.private_site &&
              settings_.members_site);
}

TEST_F(ConfigFileTest, FoldersAndUrlsGainTrailingSlash) {
  ASSERT_EQ(
      0,
      ReadXml(
          "<propurl src=\"C:\\props\\\">http://s.example/props</propurl>"
          "<baseurl src=\"media\">http://s.example/media/</baseurl>"
          "<cgipath>cgi-bin</cgipath>"
          "<profileurl src=\"p.html\">http://s.example/p.html</profileurl>"));
  EXPECT_EQ("http://s.example/props/", settings_.prop_url);
  EXPECT_EQ("C:\\props\\/", settings_.prop_dir);
  EXPECT_EQ("http://s.example/media/", settings_.base_url);
  EXPECT_EQ("media/", settings_.media_dir);
  EXPECT_EQ("cgi-bin/", settings_.cgi_path);
  EXPECT_EQ("http://s.example/p.html", settings_.profile_url);
  EXPECT_EQ("p.html", settings_.profile_file);

  ASSERT_EQ(0, ReadXml("<propurl src=\"\"></propurl>"));
  EXPECT_EQ("", settings_.prop_url);
  EXPECT_EQ("", settings_.prop_dir);
}

TEST_F(ConfigFileTest, NumbersAreDecimalSaturatedAndStoredIn16Bits) {
  const std::pair<const char*, int> kCases[] = {
      {"  +42", 42},
      {"-7", -7},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"\t\n9", 9},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN},
      {"99999999999999999999999", INT_MAX},
      {"-99999999999999999999999", INT_MIN}};
  for (const auto& [text, expected] : kCases) {
    EXPECT_EQ(expected, ParseNumber(text)) << '"' << text << '"';
  }
  ASSERT_EQ(0, ReadXml("<sitename port=\"70000\" maxocc=\"-1\"/>"
                       "<rating nudity=\"-2\" sex=\"40000\" lang=\"x\"/>"));
  EXPECT_EQ(4464, settings_.chat_port);
  EXPECT_EQ(65535, settings_.site_capacity);
  EXPECT_EQ(-2, settings_.rating[0]);
  EXPECT_EQ(-25536, settings_.rating[1]);
  EXPECT_EQ(0, settings_.rating[2]);
  EXPECT_EQ(-1, settings_.rating[3]);
  EXPECT_TRUE(settings_.rating_present);
}

TEST_F(ConfigFileTest, ValuesAreCutToTheirLimits) {
  std::string long_name(600, 'n');
  std::string long_desc(1500, 'd');
  ASSERT_EQ(0, ReadXml("<sitename id=\"" + std::string(40, 'i') + "\">" +
                       long_name + "</sitename><room desc=\"" + long_desc +
                       "\"/><sound src=\"" + std::string(40, 'f') + "\">" +
                       std::string(40, 's') + "</sound>" + "<siteimg>" +
                       std::string(509, 'a') + "\xE2\x82\xAC</siteimg>"));
  EXPECT_EQ(std::string(511, 'n'), settings_.site_name);
  EXPECT_EQ(std::string(32, 'i'), settings_.directory_id);
  ASSERT_EQ(1u, hooks_.rooms.size());
  EXPECT_EQ(std::string(1023, 'd'), *hooks_.rooms[0].Attribute("desc"));
  ASSERT_EQ(1u, hooks_.sounds.size());
  EXPECT_EQ(std::string(32, 's'), hooks_.sounds[0].first);
  EXPECT_EQ(std::string(32, 'f'), hooks_.sounds[0].second);
  // The cut never leaves half a character behind.
  EXPECT_EQ(std::string(509, 'a'), settings_.site_image);
}

TEST_F(ConfigFileTest, WriteThenReadKeepsEverySetting) {
  const Settings written = FullSettings();
  ASSERT_EQ(0, WriteConfiguration(path_, written, nullptr));
  ASSERT_EQ(0, ReadConfiguration(path_, &settings_, nullptr));
  ExpectSameFileSettings(written, settings_);
}

TEST_F(ConfigFileTest, WrittenFileHasElementsInOrderAndOnlyWhatIsSet) {
  ASSERT_EQ(0, WriteConfiguration(path_, Settings(), nullptr));
  std::string plain = ReadFileText(path_);
  EXPECT_EQ(0u, plain.find("<?xml version=\"1.0\""));
  EXPECT_NE(std::string::npos,
            plain.find("<zanthd xmlns=\"http://zanth.example/xmlschemas/"
                       "server.conf/\">"));
  EXPECT_NE(std::string::npos,
            plain.find("<sitename address=\"0.0.0.0\" port=\"12005\">"
                       "No Name</sitename>"));
  for (const char* absent :
       {"siteimg", "pidfile", "liveinfofile", "description", "rating",
        "dirserver", "httpport", "listen", "httpsport", "trustedproxy",
        "metricsfrom", "<tls"}) {
    EXPECT_EQ(std::string::npos, plain.find(absent)) << absent;
  }

  hooks_.sounds = {{"bell", "bell.wav"}};
  hooks_.rooms = {{"room", {{"id", "1"}}, "", {}}};
  ASSERT_EQ(0, WriteConfiguration(path_, FullSettings(), &hooks_));
  std::string full = ReadFileText(path_);
  EXPECT_NE(std::string::npos,
            full.find("<sitename address=\"192.168.1.20\" port=\"9998\" "
                      "id=\"ABCDEF0123\" hidden=\"yes\" maxocc=\"250\" "
                      "private=\"yes\" members=\"yes\" httpport=\"8081\" "
                      "listen=\"192.168.1.20\" httpsport=\"8443\" "
                      "trustedproxy=\"127.0.0.1, 10.0.0.2\" "
                      "metricsfrom=\"192.0.2.7 192.0.2.8\">"));
  std::size_t last = 0;
  for (const char* tag :
       {"<sitename", "<propurl", "<baseurl", "<profileurl", "<siteurl",
        "<cgipath", "<siteimg", "<pidfile", "<liveinfofile", "<description",
        "<rating nudity=\"0\" sex=\"1\" lang=\"-3\" violence=\"300\"",
        "<dirserver",
        "<tls cert=\"/etc/letsencrypt/live/tea.example/fullchain.pem\" "
        "key=\"/etc/letsencrypt/live/tea.example/privkey.pem\"/>",
        "<sound src=\"bell.wav\">bell</sound>",
        "<room id=\"1\""}) {
    std::size_t at = full.find(tag);
    ASSERT_NE(std::string::npos, at) << tag;
    EXPECT_LT(last, at) << tag;
    last = at;
  }
}

TEST_F(ConfigFileTest, RoomsAndSoundsPassThroughHooksInOrder) {
  ASSERT_EQ(
      0,
      ReadXml("<sound src=\"a.wav\">A</sound>"
              "<room id=\"2\" name=\"Hall\" gate=\"no\"><prop horz=\"1\" "
              "vert=\"2\" "
              "id=\"#0001\"/><prop horz=\"3\" vert=\"4\" id=\"#0002\"/></room>"
              "<sound src=\"b.wav\">B</sound><room id=\"3\">Yard</room>"));
  ASSERT_EQ(2u, hooks_.rooms.size());
  ExpectSameElement({"room",
                     {{"id", "2"}, {"name", "Hall"}, {"gate", "no"}},
                     "",
                     {Prop(1, 2, "#0001"), Prop(3, 4, "#0002")}},
                    hooks_.rooms[0]);
  ExpectSameElement({"room", {{"id", "3"}}, "Yard", {}}, hooks_.rooms[1]);
  using Sound = std::pair<std::string, std::string>;
  EXPECT_EQ((std::vector<Sound>{{"A", "a.wav"}, {"B", "b.wav"}}),
            hooks_.sounds);

  // What the hooks hand out comes back the same, after the site elements.
  ASSERT_EQ(0, WriteConfiguration(path_, settings_, &hooks_));
  FakeHooks again;
  ASSERT_EQ(0, ReadConfiguration(path_, &settings_, &again));
  EXPECT_EQ(hooks_.sounds, again.sounds);
  ASSERT_EQ(2u, again.rooms.size());
  for (int i = 0; i < 2; ++i)
    ExpectSameElement(hooks_.rooms[i], again.rooms[i]);

  // Without hooks, rooms and sounds are passed over.
  ASSERT_EQ(0, Read("<?xml version=\"1.0\"?><zanthd><room id=\"1\"/>"
                    "<sound>s</sound><sitename>S</sitename></zanthd>",
                    nullptr));
  EXPECT_EQ("S", settings_.site_name);
}

TEST_F(ConfigFileTest, NestedElementsApplyAfterTheirParent) {
  ASSERT_EQ(0, ReadXml("<sitename>A<sitename port=\"5\">B</sitename></sitename>"
                       "<wrapper><room id=\"7\"><siteurl>in-room</siteurl>"
                       "</room></wrapper>"));
  EXPECT_EQ("B", settings_.site_name);  // the parent's "AB" came first
  EXPECT_EQ(5, settings_.chat_port);
  ASSERT_EQ(1u, hooks_.rooms.size());
  EXPECT_EQ("", settings_.site_url);  // a room keeps its children
}

TEST_F(ConfigFileTest, OlderFormIsReadAndRewrittenAsXml) {
  ASSERT_EQ(
      0,
      Read("<sitename address=10.0.0.5 port=\"9000\" id=OLD hidden\tprivate>"
           "  My \"Old\" Site</sitename>\r\n"
           "<propurl src=\"C:\\props\\\">http://old.example/props</propurl>\n"
           "<junk a=1>skipped <sitename>X</sitename></junk>\n"
           "<room id=3 name=\"Lobby\" desc=\"Main hall\">\n"
           "  <prop horz=10 vert=20 id=#0001></prop>\n"
           "  <prop horz=30 vert=40 id=#0002></prop>\n"
           "</room>\n"
           "<unknown attr=1>\n"
           "<dirserver>dir.example:12000</dirserver>\n",
           &hooks_));
  EXPECT_EQ("My \"Old\" Site", settings_.site_name);
  EXPECT_EQ("10.0.0.5", settings_.bind_address);
  EXPECT_EQ(9000, settings_.chat_port);
  EXPECT_EQ("OLD", settings_.directory_id);
  EXPECT_TRUE(settings_.hidden() && settings_.private_site);
  EXPECT_FALSE(settings_.members_site);
  EXPECT_EQ("http://old.example/props/", settings_.prop_url);
  EXPECT_EQ("C:\\props\\/", settings_.prop_dir);
  EXPECT_EQ("dir.example:12000", settings_.directory_server);
  ASSERT_EQ(1u, hooks_.rooms.size());
  ExpectSameElement({"room",
                     {{"id", "3"}, {"name", "Lobby"}, {"desc", "Main hall"}},
                     "",
                     {Prop(10, 20, "#0001"), Prop(30, 40, "#0002")}},
                    hooks_.rooms[0]);

  // Nothing written yet: the caller writes the XML once.
  EXPECT_EQ(0u, ReadFileText(path_).find("<sitename address=10.0.0.5"));
  bool older = false;
  ASSERT_EQ(0, ReadConfiguration(path_, &settings_, nullptr, nullptr, &older));
  EXPECT_TRUE(older);
  ASSERT_EQ(0, WriteConfiguration(path_, settings_, &hooks_));
  EXPECT_EQ(0u, ReadFileText(path_).find("<?xml"));
  EXPECT_EQ(0u, ReadFileText(path_ + ".bak").find("<sitename address=10.0.0.5"));
  Settings reread;
  FakeHooks again;
  ASSERT_EQ(0, ReadConfiguration(path_, &reread, &again));
  ExpectSameFileSettings(settings_, reread);
  ASSERT_EQ(1u, again.rooms.size());
  ExpectSameElement(hooks_.rooms[0], again.rooms[0]);
}

// Clients send 8-bit text (Latin-1 in practice); the file holds UTF-8.
// Every text a client sees must come back with the bytes it had, whatever
// they are, and hand-written UTF-8 must read as clients expect it.
TEST_F(ConfigFileTest, EveryTextKeepsItsBytesThroughTheFile) {
  const std::string kTexts[] = {
      "Caf\xE9",                  // Latin-1
      "Caf\xC3\xA9",              // bytes that also form UTF-8 of a Latin-1 character
      "\x80\x9F\xA0\xFF \xE9t\xE9", // C1 controls and the top of Latin-1
      "\xE2\x82\xAC and \xF0\x9F\x8E\xB5",  // characters with no Latin-1 form
      "\xE2\x82",                  // half of one
      "<&>\"'\t\r\n end",
  };
  for (const std::string& t : kTexts) {
    SCOPED_TRACE(::testing::PrintToString(t));
    Settings written;
    written.site_name = "n" + t;
    written.directory_id = CutText(t, 30);
    written.site_url = "u" + t;
    written.base_url = "http://b/" + t + "/";
    written.prop_url = "http://p/" + t + "/";
    written.profile_url = "http://f/" + t;
    written.cgi_path = "c" + t + "/";
    written.site_image = "i" + t;
    written.description = "d" + t;
    written.directory_server = "s" + t;
    FakeHooks hooks;
    hooks.sounds = {{CutText("s" + t, 32), CutText("f" + t, 32)}};
    hooks.rooms = {{"room",
                    {{"id", "5"}, {"name", "r" + t}, {"desc", "d" + t}, {"src", t + ".rmd"}},
                    "",
                    {Prop(1, 2, "#0001")}}};
    ASSERT_EQ(0, WriteConfiguration(path_, written, &hooks));
    Settings read;
    FakeHooks again;
    ASSERT_EQ(0, ReadConfiguration(path_, &read, &again));
    ExpectSameFileSettings(written, read);
    EXPECT_EQ(hooks.sounds, again.sounds);
    ASSERT_EQ(1u, again.rooms.size());
    ExpectSameElement(hooks.rooms[0], again.rooms[0]);
  }

  // The file holds UTF-8 of each Latin-1 character; a character with no
  // Latin-1 form is kept as it is.
  Settings latin;
  latin.site_name = "Caf\xE9 \xE2\x82\xAC";
  ASSERT_EQ(0, WriteConfiguration(path_, latin, nullptr));
  EXPECT_NE(std::string::npos, ReadFileText(path_).find(">Caf\xC3\xA9 \xE2\x82\xAC</sitename>"));

  // Hand-written: UTF-8, or Latin-1 declared as such, reads as clients
  // expect it. Local paths stay in UTF-8, as the system names them.
  ASSERT_EQ(0, ReadXml("<sitename>Caf\xC3\xA9 \xE2\x82\xAC</sitename>"
                       "<baseurl src=\"/srv/caf\xC3\xA9\">http://h/caf\xC3\xA9</baseurl>"
                       "<liveinfofile>/srv/caf\xC3\xA9.txt</liveinfofile>"
                       "<room name=\"\xC3\xA9t\xC3\xA9\"/><sound src=\"\xC3\xA9.wav\">\xC3\xA9</sound>"));
  EXPECT_EQ("Caf\xE9 \xE2\x82\xAC", settings_.site_name);
  EXPECT_EQ("http://h/caf\xE9/", settings_.base_url);
  EXPECT_EQ("/srv/caf\xC3\xA9/", settings_.media_dir);
  EXPECT_EQ("/srv/caf\xC3\xA9.txt", settings_.live_info_file);
  ASSERT_EQ(1u, hooks_.rooms.size());
  EXPECT_EQ("\xE9t\xE9", *hooks_.rooms[0].Attribute("name"));
  EXPECT_EQ((std::pair<std::string, std::string>{"\xE9", "\xE9.wav"}), hooks_.sounds.at(0));
  ASSERT_EQ(0, Read("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                    "<zanthd><sitename>Caf\xE9</sitename></zanthd>",
                    nullptr));
  EXPECT_EQ("Caf\xE9", settings_.site_name);

  // The older form holds the bytes clients sent; after its rewrite as XML
  // they read the same, also where a cut falls.
  ASSERT_EQ(0, Read("<sitename>" + std::string(600, '\xE9') + "</sitename>\n", nullptr));
  EXPECT_EQ(std::string(511, '\xE9'), settings_.site_name);
  ASSERT_EQ(0, WriteConfiguration(path_, settings_, nullptr));
  Settings reread;
  ASSERT_EQ(0, ReadConfiguration(path_, &reread, nullptr));
  EXPECT_EQ(settings_.site_name, reread.site_name);
}

TEST_F(ConfigFileTest, UnsafeTextIsWrittenAsWellFormedXml) {
  Settings odd;
  odd.site_name = "Caf\xE9\x01 \xC3\xA9 & <b>";
  hooks_.rooms = {{"room", {{"id", "9"}, {"desc", "two\nlines"}}, "", {}}};
  ASSERT_EQ(0, WriteConfiguration(path_, odd, &hooks_));
  FakeHooks again;
  ASSERT_EQ(0, ReadConfiguration(path_, &settings_, &again));
  EXPECT_EQ("Caf\xE9 \xC3\xA9 & <b>", settings_.site_name);  // the control is dropped
  ASSERT_EQ(1u, again.rooms.size());
  EXPECT_EQ("two\nlines", *again.rooms[0].Attribute("desc"));

  // A byte order mark in front of the declaration is not an older file.
  ASSERT_EQ(0, Read("\xEF\xBB\xBF<?xml version=\"1.0\"?><zanthd><siteurl>b"
                    "</siteurl></zanthd>",
                    &hooks_));
  EXPECT_EQ("b", settings_.site_url);
}

// One generation back is kept, replaced only when the file changes.
TEST_F(ConfigFileTest, RewriteKeepsThePreviousFileAsBak) {
  Settings settings;
  settings.site_name = "First";
  ASSERT_EQ(0, WriteConfiguration(path_, settings, nullptr));
  EXPECT_FALSE(platform::FileExists(path_ + ".bak"));
  const std::string first = ReadFileText(path_);
  settings.site_name = "Second";
  ASSERT_EQ(0, WriteConfiguration(path_, settings, nullptr));
  const std::string second = ReadFileText(path_);
  EXPECT_NE(std::string::npos, second.find("Second"));
  EXPECT_EQ(first, ReadFileText(path_ + ".bak"));
  ASSERT_EQ(0, WriteConfiguration(path_, settings, nullptr));
  EXPECT_EQ(first, ReadFileText(path_ + ".bak"));
  settings.site_name = "Third";
  ASSERT_EQ(0, WriteConfiguration(path_, settings, nullptr));
  EXPECT_EQ(second, ReadFileText(path_ + ".bak"));
  EXPECT_FALSE(platform::FileExists(path_ + ".bak.tmp"));

  // Without room for the copy, the file is not replaced either.
  ASSERT_EQ(0, platform::MakeDirectory(dir_.File("blocked.conf")));
  const std::string blocked = dir_.File("blocked.conf") + "/zanth.conf";
  ASSERT_EQ(0, WriteConfiguration(blocked, settings, nullptr));
  ASSERT_EQ(0, platform::MakeDirectory(blocked + ".bak"));
  LogCapture log;
  settings.site_name = "Fourth";
  EXPECT_NE(0, WriteConfiguration(blocked, settings, nullptr));
  EXPECT_NE(std::string::npos, ReadFileText(blocked).find("Third"));
}

TEST_F(ConfigFileTest, FailedWriteKeepsThePreviousFile) {
  ASSERT_EQ(0, WriteConfiguration(path_, Settings(), nullptr));
  const std::string before = ReadFileText(path_);
  LogCapture log;
  EXPECT_NE(0, WriteConfiguration(dir_.path(), FullSettings(), nullptr));
  EXPECT_EQ(ENOENT, WriteConfiguration(dir_.File("none/zanth.conf"), Settings(),
                                       nullptr));
  {
    // A file size limit makes the write fail even for root.
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    rlimit small = saved;
    small.rlim_cur = 64;
    sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    int set = setrlimit(RLIMIT_FSIZE, &small);
    int rc = WriteConfiguration(path_, FullSettings(), nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    ASSERT_EQ(0, set);
    EXPECT_EQ(EFBIG, rc);
  }
  EXPECT_EQ(before, ReadFileText(path_));
  ASSERT_EQ(3u, log.lines.size());
  EXPECT_NE(std::string::npos, log.lines[2].find("configuration file"));
}

TEST_F(ConfigFileTest, WriteIntoReadOnlyDirectoryKeepsThePreviousFile) {
  ASSERT_EQ(0, WriteConfiguration(path_, Settings(), nullptr));
  const std::string before = ReadFileText(path_);
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0555));
  if (platform::WriteWholeFile(dir_.File("probe"), "x") == 0) {
    chmod(dir_.path().c_str(), 0755);
    GTEST_SKIP() << "directory permissions do not bind this user";
  }
  LogCapture log;
  int rc = WriteConfiguration(path_, FullSettings(), nullptr);
  chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(EACCES, rc);
  EXPECT_EQ(before, ReadFileText(path_));
}

TEST_F(ConfigFileTest, RatingIsTracedOnlyWhenVerbose) {
  {
    LogCapture quiet;
    ASSERT_EQ(0, ReadXml("<rating nudity=\"1\"/>"));
    EXPECT_TRUE(quiet.lines.empty());
  }
  LogCapture log(/*verbose=*/true);
  ASSERT_EQ(0, ReadXml("<rating nudity=\"1\" odd=\"2\"/>"));
  ASSERT_EQ(3u, log.lines.size());
  EXPECT_NE(std::string::npos, log.lines[0].find("Processing site rating"));
  EXPECT_NE(std::string::npos, log.lines[1].find("Parm "));
  EXPECT_NE(std::string::npos, log.lines[2].find("Parm -1"));
}

// The conversion behind every text in the file: any bytes a client sends
// come back from their XML form unchanged, controls XML cannot hold aside,
// and the XML form is always well-formed UTF-8.
TEST(TextTest, WireBytesSurviveTheirXmlForm) {
  auto check = [](const std::string& bytes) {
    std::string expected;
    for (char c : bytes) {
      auto b = static_cast<unsigned char>(c);
      if (b >= 0x20 || b == '\t' || b == '\n' || b == '\r') expected += c;
    }
    const std::string xml = XmlFromWire(bytes);
    EXPECT_EQ(xml, XmlSafeText(xml)) << ::testing::PrintToString(bytes);
    EXPECT_EQ(expected, WireFromXml(xml)) << ::testing::PrintToString(bytes);
    EXPECT_EQ(xml, XmlFromWire(WireFromXml(xml))) << ::testing::PrintToString(bytes);
  };
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) check({static_cast<char>(a), static_cast<char>(b)});
  }
  // Longer runs drawn from the bytes of UTF-8 sequences and from controls,
  // whose removal can join the bytes around them into a sequence.
  std::uint32_t state = 12345;
  for (int i = 0; i < 20000; ++i) {
    std::string bytes;
    for (int n = 0; n < 6; ++n) {
      state = state * 1103515245u + 12345u;
      std::uint32_t draw = (state >> 16) & 0xFF;
      bytes += static_cast<char>(draw < 0x20 ? draw : 0x80 + (draw & 0x7F));
    }
    check(bytes);
  }
  check("\xCE\x01\x98");
  EXPECT_EQ("\xE9t\xE9 \xE2\x82\xAC", WireFromXml("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"));
}

TEST(ElementTest, SetAttributeReplacesInPlace) {
  Element element{"room", {{"id", "1"}, {"name", "A"}}, "", {}};
  element.SetAttribute("id", "2");
  element.SetAttribute("desc", "D");
  using Attributes = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ((Attributes{{"id", "2"}, {"name", "A"}, {"desc", "D"}}),
            element.attributes);
  EXPECT_EQ(nullptr, element.Attribute("src"));
  EXPECT_EQ("A", *element.Attribute("name"));
}

}  // namespace
}  // namespace zanth::config
