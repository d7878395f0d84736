// The HTTP file server: request parsing, the MIME table, dates, and
// answers over loopback from an in-process server.
#include "http/http_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/resources.h"
#include "support/in_process_server.h"
#include "support/server_process.h"

namespace zanth::http {
namespace {

using namespace std::chrono_literals;

TEST(HttpParseTest, RequestLineHeadersAndCuts) {
  ParsedRequest r = ParseRequest(
      "GET /pic.jpg HTTP/1.1\r\nUser-Agent: first\r\nUSER-AGENT: second\r\nHost: x\r\n\r\n");
  EXPECT_EQ("GET", r.method);
  EXPECT_EQ("pic.jpg", r.path);
  EXPECT_EQ("first", r.headers["user-agent"]);
  ParsedRequest long_line = ParseRequest("GET /" + std::string(80, 'a') + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(std::string(56, 'a'), long_line.path);  // 61 kept: "GET /" and 56
  EXPECT_EQ("", ParseRequest("GARBAGE").path);
  EXPECT_EQ("c/fi", Extension("a/b.c/file"));
  EXPECT_EQ("jpeg", Extension("a.jpeg"));
  EXPECT_EQ("movi", Extension("x.movie"));
  EXPECT_EQ("", Extension("noext"));
}

TEST(HttpParseTest, ConfinementRefusesEveryEscape) {
  for (const char* bad : {"../zanth.conf", "props/../../passwds", "/etc/passwd", "a\\b", "..",
                          "a/../b", ""}) {
    EXPECT_FALSE(IsConfined(bad)) << bad;
  }
  for (const char* good : {"pic.jpg", "props/1a2b.prp", "a..b", "...x"}) {
    EXPECT_TRUE(IsConfined(good)) << good;
  }
}

TEST(HttpParseTest, DatesRoundTrip) {
  EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", HttpDate(784111777));
  EXPECT_EQ(784111777, ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"));
  // An unknown month reads as January.
  EXPECT_EQ(ParseHttpDate("Thu, 06 Jan 1994 08:49:37 GMT"),
            ParseHttpDate("Sun, 06 Xyz 1994 08:49:37 GMT"));
  // A day field of many digits reads as a day far ahead, without overflow.
  EXPECT_GT(ParseHttpDate("Sun, " + std::string(40, '9') + " Nov 1994 08:49:37 GMT"),
            784111777);
}

TEST(ClientAddressTest, ForwardedForIsTheLastEntryOfTheLastHeader) {
  std::string address;
  struct Case {
    std::string head;
    Forwarded result;
    const char* address;
  };
  std::string many;  // past the 127 characters a header value is cut to
  for (int i = 0; i < 30; ++i) many += "10.0.0." + std::to_string(i) + ", ";
  const Case kCases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", Forwarded::kAbsent, ""},
      {"GET / HTTP/1.1\r\nx-forwarded-for: 203.0.113.9\r\n\r\n", Forwarded::kAddress,
       "203.0.113.9"},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1, 2.2.2.2\r\nX-FORWARDED-FOR: 3.3.3.3 ,\t"
       "4.4.4.4\t\r\n\r\n",
       Forwarded::kAddress, "4.4.4.4"},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: " + many + "198.51.100.77\r\n\r\n",
       Forwarded::kAddress, "198.51.100.77"},
      {"GET / HTTP/1.1\nX-Forwarded-For: 192.0.2.1:5678\n\n", Forwarded::kAddress, "192.0.2.1"},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: [2001:DB8::1]:443\r\n\r\n", Forwarded::kAddress,
       "2001:db8::1"},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: ::ffff:192.0.2.3\r\n\r\n", Forwarded::kAddress,
       "192.0.2.3"},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: 192.0.2.1, unknown\r\n\r\n", Forwarded::kInvalid,
       ""},
      {"GET / HTTP/1.1\r\nX-Forwarded-For:\r\n\r\n", Forwarded::kInvalid, ""},
      // What follows the head is a body, not a header.
      {"POST / HTTP/1.1\r\n\r\nX-Forwarded-For: 192.0.2.1\r\n", Forwarded::kAbsent, ""},
      {"X-Forwarded-For: 192.0.2.1\r\n\r\n", Forwarded::kAbsent, ""},  // a request line
  };
  for (const Case& c : kCases) {
    address.clear();
    EXPECT_EQ(c.result, ForwardedFor(c.head, &address)) << c.head;
    if (c.result == Forwarded::kAddress) {
      EXPECT_EQ(c.address, address) << c.head;
    }
  }

  AddressList list;
  EXPECT_TRUE(list.Set("127.0.0.1, 10.0.0.2\t2001:DB8::5,,nonsense 300.1.1.1"));
  EXPECT_FALSE(list.Set("127.0.0.1, 10.0.0.2\t2001:DB8::5,,nonsense 300.1.1.1"));
  EXPECT_TRUE(list.Contains("10.0.0.2"));
  EXPECT_TRUE(list.Contains("2001:db8::5"));
  EXPECT_FALSE(list.Contains("10.0.0.3"));
  EXPECT_FALSE(list.Contains(""));
  EXPECT_EQ((std::vector<std::string>{"nonsense", "300.1.1.1"}), list.rejected());
  EXPECT_TRUE(IsLoopback("127.4.5.6"));
  EXPECT_TRUE(IsLoopback("::1"));
  EXPECT_FALSE(IsLoopback("128.0.0.1"));
}

TEST(MimeTableTest, BuiltInTableRowsAndRules) {
  std::string_view text = LoadResource("TEXT", 100);
  EXPECT_EQ(108, std::count(text.begin(), text.end(), '\n'));
  MimeTable mime;
  mime.Load(text);
  EXPECT_EQ("application/x-zanthroom", mime.TypeOf("rmd"));
  EXPECT_EQ("application/x-zanthroom", mime.TypeOf("rmz"));
  EXPECT_EQ("image/jpeg", mime.TypeOf("jpg"));
  // Browsers run the web page's scripts only under a JavaScript type.
  EXPECT_EQ("text/javascript", mime.TypeOf("js"));
  EXPECT_EQ("text/css", mime.TypeOf("css"));
  EXPECT_EQ("text/html", mime.TypeOf("html"));
  EXPECT_EQ("image/svg+xml", mime.TypeOf("svg"));
  EXPECT_EQ("*/*", mime.TypeOf("JPG"));
  EXPECT_EQ("*/*", mime.TypeOf("prp"));
  EXPECT_EQ("*/*", mime.TypeOf(Extension("a.movie")));  // "movi" never matches
  MimeTable first;
  first.Load("a/one\tx y\r\n\nb/two\ty z\nc/lone\n d/four\tq\n");
  EXPECT_EQ("a/one", first.TypeOf("y"));  // the first type wins
  EXPECT_EQ("b/two", first.TypeOf("z"));  // runs of line ends are skipped
  EXPECT_EQ("*/*", first.TypeOf("q"));    // a type without extension ends loading
}

// Sends raw request bytes and reads the whole answer (bounded).
std::string Fetch(std::uint16_t port, const std::string& request) {
  int fd = testing::ConnectLoopback(port);
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), 0);
  std::string answer;
  char buffer[65536];
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

// Reads until the server closes, then closes fd; each read is bounded by
// the socket's receive timeout.
std::string ReadAnswer(int fd) {
  std::string answer;
  char buffer[4096];
  for (int reads = 0; reads < 100; ++reads) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::string Get(std::uint16_t port, const std::string& path, const std::string& headers = "") {
  return Fetch(port, "GET " + path + " HTTP/1.1\r\nHost: t\r\n" + headers + "\r\n");
}

std::string HeaderValue(const std::string& answer, const std::string& name) {
  std::size_t at = answer.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return answer.substr(at, answer.find("\r\n", at) - at);
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<testing::InProcessServer>();
    ASSERT_TRUE(server_->started());
    media_ = server_->data_dir() + "media/";
    std::ofstream(media_ + "room.rmd") << "<roomdesc/>";
    std::ofstream(media_ + "pic.JPG") << "jpeg?";
    std::ofstream(media_ + "file.jpg") << "picture";
    std::ofstream(server_->data_dir() + "passwds") << "secret";
  }
  std::unique_ptr<testing::InProcessServer> server_;
  std::string media_;
};

TEST_F(HttpServerTest, AnswersAndContentTypes) {
  std::uint16_t port = server_->http_port();
  EXPECT_EQ(kNotFound, Get(port, "/"));
  std::string room = Get(port, "/room.rmd");
  EXPECT_EQ(0u, room.find("HTTP/1.1 200 OK\r\nServer: Zanth Personal Server/1.0 (Windows)\r\nDate: "));
  EXPECT_EQ("application/x-zanthroom", HeaderValue(room, "Content-Type"));
  EXPECT_EQ("11", HeaderValue(room, "Content-Length"));
  EXPECT_EQ("<roomdesc/>", room.substr(room.find("\r\n\r\n") + 4));
  EXPECT_EQ("*/*", HeaderValue(Get(port, "/pic.JPG"), "Content-Type"));
  ASSERT_EQ(0, system(("mkdir -p '" + media_ + "a/b.c' && echo x > '" + media_ + "a/b.c/file'").c_str()));
  EXPECT_EQ("*/*", HeaderValue(Get(port, "/a/b.c/file"), "Content-Type"));
  EXPECT_EQ(kNotFound, Get(port, "/file.jpg?x=1"));
  for (const char* method : {"POST", "HEAD"}) {
    std::string answer = Fetch(port, std::string(method) + " /file.jpg HTTP/1.1\r\n\r\n");
    EXPECT_EQ("picture", answer.substr(answer.find("\r\n\r\n") + 4)) << method;
  }
  EXPECT_TRUE(server_->WaitForLog("    HTTP 127.0.0.1 HEAD 200 file.jpg"));
  EXPECT_TRUE(server_->WaitForLog("    HTTP 127.0.0.1 GET 404 file.jpg?x=1"));
}

TEST_F(HttpServerTest, ConditionalGet) {
  std::uint16_t port = server_->http_port();
  std::string first = Get(port, "/file.jpg");
  std::string modified = HeaderValue(first, "Last-Modified");
  ASSERT_FALSE(modified.empty());
  EXPECT_EQ(kNotModified, Get(port, "/file.jpg", "If-Modified-Since: " + modified + "\r\n"));
  std::string earlier = HttpDate(ParseHttpDate(modified) - 1);
  EXPECT_EQ(0u, Get(port, "/file.jpg", "If-Modified-Since: " + earlier + "\r\n").find("HTTP/1.1 200"));
}

TEST_F(HttpServerTest, PathsThatEscapeTheMediaFolderAreNotFound) {
  std::uint16_t port = server_->http_port();
  for (const char* path : {"/../zanth.conf", "/props/../../passwds", "//etc/passwd",
                           "/..%2fpasswds", "/props"}) {
    EXPECT_EQ(kNotFound, Get(port, path)) << path;
  }
}

// A client may shut its side down once the request is sent (as scripts
// that pipe a request into a socket do): it still gets the whole answer.
// One that ends its side without a request is closed.
TEST_F(HttpServerTest, HalfClosedClientStillGetsItsAnswer) {
  std::uint16_t port = server_->http_port();
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = testing::ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    std::string request = "GET /room.rmd HTTP/1.0\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));
    ASSERT_EQ(0, shutdown(fd, SHUT_WR));
    std::string answer = ReadAnswer(fd);
    EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << "attempt " << attempt << ": " << answer;
    EXPECT_EQ("<roomdesc/>", answer.substr(answer.find("\r\n\r\n") + 4));
  }
  EXPECT_TRUE(server_->WaitForLog("    HTTP 127.0.0.1 GET 200 room.rmd", 3));

  int silent = testing::ConnectLoopback(port);
  ASSERT_GE(silent, 0);
  ASSERT_EQ(0, shutdown(silent, SHUT_WR));
  char byte;
  EXPECT_EQ(0, recv(silent, &byte, 1, 0));  // closed, well before the idle limit
  close(silent);
}

// A request is read whole even when its packets come apart; a bare
// request line that never ends its header block is answered once the
// client has been quiet for a moment.
TEST_F(HttpServerTest, RequestCutAcrossPacketsIsReadWholeAndABareLineAnsweredWhenQuiet) {
  std::uint16_t port = server_->http_port();
  int fd = testing::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  std::string first = "GET /ro";
  std::string second = "om.rmd HTTP/1.1\r\nHost: t\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(first.size()), send(fd, first.data(), first.size(), 0));
  std::this_thread::sleep_for(60ms);  // several passes of the server
  ASSERT_EQ(static_cast<ssize_t>(second.size()), send(fd, second.data(), second.size(), 0));
  std::string answer = ReadAnswer(fd);
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_EQ("<roomdesc/>", answer.substr(answer.find("\r\n\r\n") + 4));

  fd = testing::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  std::string bare = "GET /file.jpg HTTP/1.0";
  ASSERT_EQ(static_cast<ssize_t>(bare.size()), send(fd, bare.data(), bare.size(), 0));
  std::this_thread::sleep_for(60ms);
  server_->Advance(1);  // the server's clock: a second of quiet
  answer = ReadAnswer(fd);
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\npicture")) << answer;
}

TEST_F(HttpServerTest, SilentConnectionIsDroppedAfterTheLimit) {
  int fd = testing::ConnectLoopback(server_->http_port());
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(100ms);
  server_->Advance(kIdleLimitSeconds + 1);
  char byte;
  ssize_t n = recv(fd, &byte, 1, 0);  // bounded by the socket's receive timeout
  EXPECT_EQ(0, n);
  close(fd);
}

TEST_F(HttpServerTest, LargeFileIsStreamedNotQueuedWhole) {
  std::string big(20 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  std::ofstream(media_ + "big.bin", std::ios::binary) << big;
  int fd = testing::ConnectLoopback(server_->http_port());
  ASSERT_GE(fd, 0);
  std::string request = "GET /big.bin HTTP/1.1\r\n\r\n";
  send(fd, request.data(), request.size(), 0);
  std::string answer;
  char buffer[65536];
  // Read a little, then look at the queue while the rest is pending.
  while (answer.size() < 100000) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t largest = 0;
  server_->Run([&](protocol::Site& site) {
    for (const net::Connection& c : site.transport.connections()) {
      largest = std::max(largest, c.queued());
    }
  });
  EXPECT_LT(largest, 1u << 20);
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  std::size_t body = answer.find("\r\n\r\n") + 4;
  ASSERT_EQ(big.size(), answer.size() - body);
  EXPECT_TRUE(answer.compare(body, std::string::npos, big) == 0);
}

}  // namespace
}  // namespace zanth::http
