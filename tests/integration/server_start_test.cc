// The real zanthd started in a temporary HOME: start-up, single instance,
// quitting, and connections on its two ports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include "support/server_process.h"

namespace zanth {
namespace {

using namespace std::chrono_literals;
using testing::ConnectLoopback;
using testing::ServerProcess;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(ServerStartTest, FirstRunCreatesTheSite) {
  ServerProcess server;  // no configuration: first-run setup
  server.Start();
  // The default ports may be taken on this machine; the site is created
  // before the listeners either way.
  ASSERT_TRUE(server.WaitForLog("Listening socket established", 1, 1ms) ||
              server.WaitForLog("Unable to establish listening socket", 1, 10s));
  std::string data = server.data_dir();
  EXPECT_TRUE(Exists(data + "media/props"));
  EXPECT_EQ("<roomdesc background=\"plain.jpg\">\r</roomdesc>\r",
            testing::ReadFileText(data + "media/gate.rmd"));
  EXPECT_TRUE(Exists(data + "media/timeout.rmd"));
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
  server.Stop();
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
  EXPECT_EQ(0, server.RunSecondInstance(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
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

TEST(ServerStartTest, VersionAndUnknownOption) {
  std::array<char, 256> buffer{};
  FILE* p = popen(ZANTHD_BINARY " --version", "r");
  ASSERT_NE(nullptr, p);
  std::string out;
  while (fgets(buffer.data(), buffer.size(), p) != nullptr) out += buffer.data();
  EXPECT_EQ(0, pclose(p));
  EXPECT_EQ("Zanth Personal Server for Windows 1.2b3 build 192\n", out);
  int status = system(ZANTHD_BINARY " --bogus 2>/dev/null");
  EXPECT_EQ(2, WEXITSTATUS(status));
}

}  // namespace
}  // namespace zanth
