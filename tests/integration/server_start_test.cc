// The real zanthd started in a temporary HOME: start-up, first-run setup,
// single instance, quitting, the log reopen on SIGHUP, its switches, the
// addresses it binds and gives out, and connections on its two ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/background_picture.h"
#include "support/server_process.h"

namespace zanth {
namespace {

using namespace std::chrono_literals;
using testing::ConnectLoopback;
using testing::ServerProcess;

// Two rooms, as a new site has.
std::string TwoRooms() {
  return "  <room id=\"100\" name=\"gate\" gate=\"yes\" desc=\"gate.rmd\" src=\"gate.rmd\"/>\n"
         "  <room id=\"101\" name=\"timeout\" timeout=\"yes\" src=\"timeout.rmd\"/>\n";
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// The address other machines reach this one at, found here independently
// of the server: the first interface address that is up and no loopback
// (a self-assigned 169.254 one only when there is no other), else
// 127.0.0.1.
std::string ExpectedHostAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "127.0.0.1";
  std::string routable, self_assigned;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    std::string address = text;
    if (address.rfind("127.", 0) == 0) continue;
    std::string& slot = address.rfind("169.254.", 0) == 0 ? self_assigned : routable;
    if (slot.empty()) slot = address;
  }
  freeifaddrs(list);
  return !routable.empty() ? routable : !self_assigned.empty() ? self_assigned : "127.0.0.1";
}

TEST(ServerStartTest, FirstRunCreatesTheSite) {
  ServerProcess server;  // no configuration: first-run setup
  // A media folder kept from an earlier site keeps its own descriptions.
  const std::string media = server.home() + "/Documents/My Zanth/media/";
  for (const std::string& dir : {server.home() + "/Documents", server.data_dir(), media}) {
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  }
  std::ofstream(media + "gate.rmd") << "<roomdesc>mine</roomdesc>";
  server.Start();
  // The default ports may be taken on this machine; the site is created
  // before the listeners either way.
  ASSERT_TRUE(server.WaitForLog("Listening socket established", 1, 1ms) ||
              server.WaitForLog("Unable to establish listening socket", 1, 10s));
  std::string data = server.data_dir();
  EXPECT_TRUE(Exists(data + "media/props"));
  EXPECT_EQ("<roomdesc background=\"plain.jpg\">\r</roomdesc>\r",
            testing::ReadFileText(data + "media/timeout.rmd"));
  EXPECT_EQ("<roomdesc>mine</roomdesc>", testing::ReadFileText(data + "media/gate.rmd"));
  std::string conf = testing::ReadFileText(data + "zanth.conf");
  EXPECT_EQ(0u, conf.find("<?xml"));
  EXPECT_NE(std::string::npos, conf.find("Personal Zanth Server"));
  EXPECT_NE(std::string::npos, conf.find("index.html</profileurl>"));
  std::string log = server.Log();
  std::size_t start = log.find("     main Server Start\n");
  ASSERT_NE(std::string::npos, start);
  EXPECT_NE(std::string::npos,
            log.find("main Zanth Personal Server for Windows 1.2b3 build 192\n", start));
  EXPECT_NE(std::string::npos, log.find("main No legacy files, first run setup\n"));

  // The gate room's picture is there to be served.
  EXPECT_EQ(DefaultBackgroundJpeg(), testing::ReadFileText(data + "media/plain.jpg"));
  // Every address the site gives out is one that other machines reach,
  // not the loopback address the host name may stand for.
  std::string host = ExpectedHostAddress();
  std::string site = "http://" + host + ":8080/";
  EXPECT_NE(std::string::npos, conf.find("<sitename address=\"" + host + "\" port=\"12005\">"))
      << conf;
  for (const std::string& url : {site + "</baseurl>", site + "props/</propurl>",
                                 site + "index.html</profileurl>"}) {
    EXPECT_NE(std::string::npos, conf.find(url)) << url << "\n" << conf;
  }
  if (server.CountInLog("Listening socket established") == 1) {
    EXPECT_EQ(1, server.CountInLog("main Web client at " + site + "web/index.html\n"));
    EXPECT_EQ(1, server.CountInLog("main Profile page at " + site + "index.html\n"));
  }
  // The owner learns that the account "Lord" is open to anyone, and how to
  // close it: on the terminal and in the log.
  const std::string notice =
      "The owner account \"Lord\" has the published default password \"Velk*Baron\":";
  EXPECT_NE(std::string::npos, server.StandardOutput().find("zanthd: " + notice + "\n"))
      << server.StandardOutput();
  EXPECT_NE(std::string::npos,
            server.StandardOutput().find("--say '/account password Lord NEW'"));
  EXPECT_EQ(1, server.CountInLog("main " + notice + "\n"));
  EXPECT_EQ(0600, Mode(data + "passwds"));
  server.Stop();
}

// A later start of a site whose owner never changed the password: a line in
// the log, nothing on the terminal. Account and ban files from before are
// made the owner's alone.
TEST(ServerStartTest, LaterStartsKeepTheOwnerAccountPrivate) {
  ServerProcess server;
  server.WriteConfig();
  std::ofstream(server.data_dir() + "banlist") << "";
  ASSERT_EQ(0, chmod((server.data_dir() + "banlist").c_str(), 0644));
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(0600, Mode(server.data_dir() + "passwds"));
  EXPECT_EQ(0600, Mode(server.data_dir() + "banlist"));
  EXPECT_EQ(1, server.CountInLog("main Made " + server.data_dir() +
                                 "banlist readable by its owner only"));
  // One line a start (a start that lost its port to another test is
  // retried).
  EXPECT_EQ(server.CountInLog("main Server Start\n"),
            server.CountInLog(
                "main The account \"Lord\" still has the published default password\n"));
  EXPECT_LE(1, server.CountInLog("main Server Start\n"));
  EXPECT_EQ("", server.StandardOutput());
  EXPECT_EQ(0, server.Stop());
}

// A damaged stored file is never replaced: neither by a lenient reading
// that drops what it cannot parse (the rooms after one left open) nor by a
// new site or default tables. The start stops with one line that names the
// file, the place and the fault, on standard error and in the log.
TEST(ServerStartTest, DamagedStoredFileStopsTheStartAndStaysAsItIs) {
  struct Case {
    std::string file;
    std::string text;
    std::string fault;
  };
  const Case kCases[] = {
      {"zanth.conf",
       "<?xml version=\"1.0\"?>\n<zanthd>\n"
       "  <sitename address=\"127.0.0.1\">Mine</sitename>\n"
       "  <room id=\"100\" name=\"Hall\" gate=\"yes\">\n"
       "  <room id=\"200\" name=\"Attic\"/>\n"
       "  <room id=\"300\" name=\"Cellar\"/>\n"
       "</zanthd>\n",
       "line 7, column 10: Opening and ending tag mismatch: room line 4 and zanthd"},
      {"zanth.conf", "sitename = My Site\n", "line 1, column 1: text that is not an element"},
      {"groups", std::string("\x04\0Freeman", 9), "the file holds 0 of its 4 groups"},
      {"propcache.idx", std::string("\x01\0", 2), "the file ends inside the count of props"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file + ": " + c.text);
    ServerProcess server;
    server.WriteConfig(TwoRooms());
    const std::string path = server.data_dir() + c.file;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.text;
    std::string standard_error;
    EXPECT_EQ(1, server.RunSecondInstance(20s, {}, &standard_error));
    const std::string line =
        path + ": " + c.fault + "; fix the file, or move it away to start a new site";
    EXPECT_EQ("zanthd: " + line + "\n", standard_error);
    EXPECT_EQ(1, server.CountInLog(" Error " + line + "\n")) << server.Log();
    EXPECT_EQ(c.text, testing::ReadFileText(path));
    EXPECT_FALSE(Exists(server.data_dir() + "zanth.conf.bak"));
    EXPECT_FALSE(Exists(server.data_dir() + "media/gate.rmd"));
    EXPECT_EQ(0, server.CountInLog("first run setup"));
  }
}

// The start-up rewrite (here: filling in the profile URL) keeps the file
// it replaces.
TEST(ServerStartTest, RewriteKeepsThePreviousConfigurationAsBak) {
  ServerProcess server;
  std::string written;
  server.WriteConfigWith([&server, &written] {
    written = "<?xml version=\"1.0\"?>\n<zanthd><sitename address=\"127.0.0.1\" port=\"" +
              std::to_string(server.chat_port()) + "\" httpport=\"" +
              std::to_string(server.http_port()) + "\" hidden=\"yes\">Mine</sitename></zanthd>\n";
    return written;
  });
  ASSERT_TRUE(server.Start());
  const std::string conf = server.data_dir() + "zanth.conf";
  EXPECT_NE(std::string::npos, testing::ReadFileText(conf).find("index.html</profileurl>"));
  EXPECT_EQ(written, testing::ReadFileText(conf + ".bak"));
  EXPECT_EQ(0, server.Stop());
}

TEST(ServerStartTest, ExistingIndexPageMakesTheProfilePageZanthprofile) {
  ServerProcess server;
  server.WriteConfig();
  std::ofstream(server.data_dir() + "media/index.html") << "<html></html>";
  ASSERT_TRUE(server.Start());
  std::string conf = testing::ReadFileText(server.data_dir() + "zanth.conf");
  EXPECT_NE(std::string::npos, conf.find("/zanthprofile.html</profileurl>")) << conf;
  EXPECT_EQ(0, server.Stop());
}

TEST(ServerStartTest, TenSimultaneousConnectsAreAccepted) {
  ServerProcess server;
  server.WriteConfig();
  ASSERT_TRUE(server.Start());
  std::vector<int> fds;
  for (int i = 0; i < 10; ++i) {
    int fd = ConnectLoopback(server.chat_port());
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
  }
  EXPECT_TRUE(server.WaitForLog("from 127.0.0.1", 10, 10s)) << server.Log();
  EXPECT_TRUE(server.WaitForLog(" Connect #10 from 127.0.0.1", 1, 1s));
  int http = ConnectLoopback(server.http_port());
  EXPECT_GE(http, 0);
  close(http);
  for (int fd : fds) close(fd);
  EXPECT_EQ(0, server.Stop());
}

TEST(ServerStartTest, SecondInstanceExitsAtOnceWithoutTouchingFiles) {
  ServerProcess server;
  server.WriteConfig();
  ASSERT_TRUE(server.Start());
  std::string log_before = server.Log();
  std::string conf_before = testing::ReadFileText(server.data_dir() + "zanth.conf");
  auto started = std::chrono::steady_clock::now();
  std::string said;
  EXPECT_EQ(0, server.RunSecondInstance(10s, {}, &said));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  std::string data = server.data_dir();
  EXPECT_EQ("zanthd: another server is already running for " + data.substr(0, data.size() - 1) +
                "\n",
            said);
  // The running server may log meanwhile; the second one adds nothing.
  EXPECT_EQ(1, server.CountInLog("Server Start"));
  EXPECT_EQ(0u, server.Log().find(log_before));
  EXPECT_EQ(conf_before, testing::ReadFileText(server.data_dir() + "zanth.conf"));
  // The first server still serves.
  int fd = ConnectLoopback(server.chat_port());
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(0, server.Stop());
}

TEST(ServerStartTest, SigtermEndsTheProcessWithZero) {
  ServerProcess server;
  server.WriteConfig();
  ASSERT_TRUE(server.Start({"--verbose"}));
  EXPECT_EQ(0, server.Stop(10s));
  EXPECT_FALSE(server.running());
}

std::string RunAndRead(const std::string& command, int* status) {
  std::array<char, 256> buffer{};
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return "";
  std::string out;
  while (fgets(buffer.data(), buffer.size(), p) != nullptr) out += buffer.data();
  *status = pclose(p);
  return out;
}

TEST(ServerStartTest, VersionHelpAndUnknownOption) {
  int status = -1;
  EXPECT_EQ("Zanth Personal Server for Windows 1.2b3 build 192\n",
            RunAndRead(ZANTHD_BINARY " --version", &status));
  EXPECT_EQ(0, status);
  // Every option of the usage lines has exactly one line of its own.
  std::istringstream help(RunAndRead(ZANTHD_BINARY " --help", &status));
  EXPECT_EQ(0, status);
  std::string usage;
  std::vector<std::string> described;
  for (std::string line; std::getline(help, line);) {
    EXPECT_LE(line.size(), 80u) << line;
    if (described.empty() && line.find("  --") != 0) {
      usage += line;
      continue;
    }
    ASSERT_EQ(0u, line.find("  --")) << "a line that is no option: " << line;
    described.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  std::vector<std::string> options;
  for (std::size_t at = usage.find("[--"); at != std::string::npos; at = usage.find("[--", at + 1)) {
    std::string option = usage.substr(at + 1, usage.find(']', at) - at - 1);
    options.push_back(option.substr(0, option.find(' ')));  // without its argument
  }
  EXPECT_EQ(6u, options.size()) << usage;
  EXPECT_EQ(options, described);
  status = system(ZANTHD_BINARY " --bogus 2>/dev/null");
  EXPECT_EQ(2, WEXITSTATUS(status));
}

// A service manager restarts a server that exits with a failure status.
TEST(ServerStartTest, PortInUseEndsTheProcessWithOne) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&sin), sizeof sin));
  ASSERT_EQ(0, listen(holder, 1));
  socklen_t size = sizeof sin;
  getsockname(holder, reinterpret_cast<sockaddr*>(&sin), &size);
  const int taken = ntohs(sin.sin_port);
  ServerProcess server;
  server.WriteConfigWith([taken] {
    return "<?xml version=\"1.0\"?>\n<zanthd><sitename address=\"127.0.0.1\" port=\"" +
           std::to_string(taken) + "\" hidden=\"yes\">Busy</sitename></zanthd>\n";
  });
  // Where, which port and why: on standard error and in the log.
  std::string said;
  EXPECT_EQ(1, server.RunSecondInstance(10s, {}, &said)) << server.Log();
  const std::string where = "0.0.0.0 port " + std::to_string(taken);
  EXPECT_EQ("zanthd: cannot listen on " + where + ": Address already in use\n", said);
  EXPECT_EQ(1, server.CountInLog(
                   "Error 98 (Address already in use) Unable to establish listening socket on " +
                   where + "\n"))
      << server.Log();
  close(holder);
}

// The configured address is what the site gives out; "listen" binds both
// ports to one address, so that another address's same port stays free.
TEST(ServerStartTest, ListenAttributeBindsBothPortsToOneAddress) {
  auto port_is_free_on = [](const char* address, std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sin.sin_addr);
    sin.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 && listen(fd, 1) == 0;
    close(fd);
    return free;
  };
  for (bool restricted : {false, true}) {
    ServerProcess server;
    server.WriteConfigWith([&server, restricted] {
      return "<?xml version=\"1.0\"?>\n<zanthd><sitename address=\"192.0.2.80\" port=\"" +
             std::to_string(server.chat_port()) + "\" httpport=\"" +
             std::to_string(server.http_port()) + "\" hidden=\"yes\"" +
             (restricted ? " listen=\"127.0.0.1\"" : "") + ">Listen</sitename></zanthd>\n";
    });
    ASSERT_TRUE(server.Start()) << server.Log();
    for (std::uint16_t port : {server.chat_port(), server.http_port()}) {
      EXPECT_EQ(restricted, port_is_free_on("127.0.0.2", port)) << port;
      int fd = ConnectLoopback(port);
      EXPECT_GE(fd, 0);
      if (fd >= 0) close(fd);
    }
    // The browser page is named at the address it can be reached at.
    std::string page = "main Web client at http://" +
                       std::string(restricted ? "127.0.0.1" : "192.0.2.80") + ":" +
                       std::to_string(server.http_port()) + "/web/index.html\n";
    EXPECT_EQ(1, server.CountInLog(page)) << server.Log();
    // Start-up rewrote the file (it had no profile page); "listen" stays.
    std::string conf = testing::ReadFileText(server.data_dir() + "zanth.conf");
    EXPECT_EQ(restricted, conf.find(" listen=\"127.0.0.1\"") != std::string::npos) << conf;
    EXPECT_EQ(0, server.Stop());
  }
}

// One user, two sites: --data-dir names the second one's directory, and
// the one-server rule holds per directory, however it is spelt.
TEST(ServerStartTest, DataDirOptionRunsASecondSite) {
  ServerProcess first;
  first.WriteConfig();
  ASSERT_TRUE(first.Start());
  // A start that lost its port to another test is retried: count from here.
  const int first_starts = first.CountInLog("Server Start");
  ServerProcess second(first.home() + "/sites/second/");
  second.WriteConfig();
  ASSERT_TRUE(second.Start()) << second.Log();
  for (const ServerProcess* site : {&first, &second}) {
    int fd = ConnectLoopback(site->chat_port());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(site->WaitForLog(" Connect #1 from 127.0.0.1", 1, 10s)) << site->Log();
  }
  EXPECT_EQ(first_starts, first.CountInLog("Server Start"));  // the second site logs apart
  std::string said;
  EXPECT_EQ(0, second.RunSecondInstance(
                   10s, {"--data-dir", first.home() + "/sites/../sites/second"}, &said));
  EXPECT_EQ("zanthd: another server is already running for " + first.home() + "/sites/second\n",
            said);
  EXPECT_EQ(0, second.Stop());
  EXPECT_EQ(0, first.Stop());

  // A directory that is not there yet is made, with the folders above it,
  // and becomes a new site; nothing goes to the documents folder.
  ServerProcess fresh(first.home() + "/new/a/b");
  fresh.Start();  // its default ports may be taken; the site is made first
  EXPECT_TRUE(Exists(fresh.data_dir() + "zanth.conf"));
  EXPECT_TRUE(Exists(fresh.data_dir() + "media/plain.jpg"));
  EXPECT_FALSE(Exists(fresh.home() + "/Documents"));
  fresh.Stop();
}

TEST(ServerStartTest, HangupReopensTheLogAndKeepsServing) {
  ServerProcess server;
  server.WriteConfig();
  std::ofstream(server.log_path()) << "a line from before\n";
  ASSERT_TRUE(server.Start());
  const std::string rotated = server.log_path() + ".1";
  ASSERT_EQ(0, std::rename(server.log_path().c_str(), rotated.c_str()));
  server.Signal(SIGHUP);
  ASSERT_TRUE(server.WaitForLog("main Log file reopened", 1, 10s));
  int fd = ConnectLoopback(server.chat_port());
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(server.WaitForLog("from 127.0.0.1", 1, 10s)) << server.Log();
  close(fd);
  EXPECT_EQ(0, server.Stop());
  // The rotated file kept everything up to the signal, the old line first;
  // the new one starts at the reopen.
  std::string old_log = testing::ReadFileText(rotated);
  EXPECT_EQ(0u, old_log.find("a line from before\n"));
  EXPECT_NE(std::string::npos, old_log.find("main Listening socket established"));
  EXPECT_EQ(std::string::npos, old_log.find("from 127.0.0.1"));
  EXPECT_NE(std::string::npos, server.Log().find("main Log file reopened"));
  EXPECT_EQ(std::string::npos, server.Log().find("Server Start"));
}

}  // namespace
}  // namespace zanth
