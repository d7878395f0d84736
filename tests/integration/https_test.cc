// The HTTPS port of an in-process server: the same answers as the HTTP
// port, byte for byte, as curl gets them; browser chat connections over
// wss://; and handshakes that are garbage, half done or never started,
// which are dropped (at the deadline of the server's clock) while others
// are served.
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "browser.h"
#include "client/encode.h"
#include "http/http_server.h"
#include "net/tls.h"
#include "session_fixture.h"
#include "support/server_process.h"
#include "support/tls_support.h"

namespace zanth::testing {
namespace {

class HttpsTest : public SessionTest {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new TempDir();
    std::string output;
    made_ = MakeTestCertificates(certificates_->path(), &output);
    EXPECT_TRUE(made_) << output;
  }
  static void TearDownTestSuite() {
    delete certificates_;
    certificates_ = nullptr;
  }

  void StartHttps() {
    ASSERT_TRUE(made_);
    server_ = std::make_unique<InProcessServer>(
        InProcessServer::DefaultRooms() + "  <tls cert=\"" + Certificate("server.pem") +
            "\" key=\"" + Certificate("server.key") + "\"/>\n",
        "", true);
    ASSERT_TRUE(server_->started()) << server_->start_failure();
  }

  static std::string Certificate(const std::string& name) { return certificates_->File(name); }

  // Runs curl with args (a URL among them) and returns what it wrote: the
  // answer's head and body with -i; "curl failed: ..." when it failed.
  std::string Curl(const std::string& args) {
    std::string out = server_->data_dir() + "curl.out";
    std::string err = server_->data_dir() + "curl.err";
    std::string command = "curl -s -S -i --path-as-is --max-time 20 --cacert '" + Certificate("ca.pem") +
                          "' " + args + " -o '" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    if (status != 0) return "curl failed: " + ReadFileText(err);
    return ReadFileText(out);
  }

  std::string Http(const std::string& path, const std::string& options = "") {
    return Curl(options + " http://127.0.0.1:" + std::to_string(server_->http_port()) + path);
  }
  std::string Https(const std::string& path, const std::string& options = "") {
    return Curl(options + " https://localhost:" + std::to_string(server_->https_port()) + path);
  }

  int Count(const std::string& text) const {
    std::string log = server_->Log();
    int count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  // A sample of the server's /metrics page (name with its labels); -1 when
  // it is not there.
  double Metric(const std::string& sample) {
    std::string page = FetchRaw(server_->http_port(), "GET /metrics HTTP/1.0\r\n\r\n");
    const std::string line = "\n" + sample + " ";
    std::size_t at = page.find(line);
    return at == std::string::npos ? -1 : std::atof(page.c_str() + at + line.size());
  }
  double HandshakesFailed() { return Metric("zanth_tls_handshakes_failed_total"); }

  static TempDir* certificates_;
  static bool made_;
};

TempDir* HttpsTest::certificates_ = nullptr;
bool HttpsTest::made_ = false;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST_F(HttpsTest, ServesWhatHttpServesByteForByteAndBrowsersChatOverWss) {
  StartHttps();
  const std::string port = std::to_string(server_->https_port());
  EXPECT_TRUE(server_->WaitForLog("main Web client at https://127.0.0.1:" + port +
                                  "/web/index.html"));
  EXPECT_TRUE(server_->WaitForLog("main HTTPS on port " + port +
                                  " with the certificate CN = localhost, valid until "));
  const std::string media = server_->data_dir() + "media/";
  const std::string large = RandomBytes(3 * 1024 * 1024 + 12345, 7);
  std::ofstream(media + "small.bin", std::ios::binary) << RandomBytes(4096, 3);
  std::ofstream(media + "large.bin", std::ios::binary) << large;
  std::ofstream(media + "room.rmd") << "<roomdesc/>";

  // The server's clock stands still, so even the Date lines agree.
  for (const char* path : {"/small.bin", "/large.bin", "/room.rmd", "/missing.jpg",
                           "/../zanth.conf"}) {
    SCOPED_TRACE(path);
    std::string plain = Http(path);
    ASSERT_EQ(0u, plain.find("HTTP/1.1 ")) << plain.substr(0, 200);
    EXPECT_TRUE(Https(path) == plain);
    EXPECT_TRUE(Https(path, "--tlsv1.2 --tls-max 1.2") == plain);
  }
  std::string answer = Https("/large.bin");
  ASSERT_EQ(large.size(), answer.size() - (answer.find("\r\n\r\n") + 4));
  EXPECT_TRUE(answer.ends_with(large));
  // The same file read straight off the socket: the whole body, then the
  // close_notify, so the end of the answer is told from a cut.
  HttpsAnswer raw = HttpsFetch(server_->https_port(), Certificate("ca.pem"),
                               "GET /large.bin HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(raw.answer.ends_with(large));
  EXPECT_TRUE(raw.closed);
  std::string head = Http("/room.rmd");
  std::size_t at = head.find("Last-Modified: ") + 15;
  std::string since = "If-Modified-Since: " + head.substr(at, head.find("\r\n", at) - at);
  // curl leaves out the body that a 304 should not have had; the raw
  // answer has it, as over HTTP.
  EXPECT_EQ(std::string(http::kNotModified),
            HttpsFetch(server_->https_port(), Certificate("ca.pem"),
                       "GET /room.rmd HTTP/1.1\r\n" + since + "\r\n\r\n")
                .answer);
  // The counters, for loopback, on this port too.
  EXPECT_NE(std::string::npos,
            Https("/metrics").find("\n# TYPE zanth_tls_handshakes_failed_total counter\n"));
  EXPECT_TRUE(server_->WaitForLog("HTTP 127.0.0.1 GET 200 large.bin curl/", 3));

  // A browser over wss:// meets a native client: talk both ways, then the
  // close handshake, whose close frame comes through the TLS layer whole.
  auto native = SignOn("Native");
  Browser browser;
  EXPECT_EQ(0u, browser.OpenTls(server_->https_port(), kUpgrade, Certificate("ca.pem"))
                    .find("HTTP/1.1 101 Switching Protocols\r\n"));
  std::uint32_t browser_id = browser.SignOn("Webber", 50);
  ASSERT_NE(0u, browser_id);
  client::Message m;
  browser.Send(client::kTalk, client::EncodeText("hello over wss"), 1000);
  client::Speech said = ExpectTalk(*native);
  EXPECT_EQ(browser_id, said.speaker);
  EXPECT_EQ("hello over wss", said.text);
  // A line longer than a TLS record, so that it spans several.
  const std::string long_line(240, 'w');
  ASSERT_EQ(0, native->SendTalk(long_line));
  bool heard = false;
  for (int i = 0; i < 3 && !heard; ++i) {
    ASSERT_TRUE(browser.WaitFor(TypeCode("Talk"), &m));
    client::Speech got;
    ASSERT_TRUE(client::DecodeSpeech(m.payload, &got));
    heard = got.speaker == IdOf(*native) && got.text == long_line;
  }
  EXPECT_TRUE(heard);
  browser.SendFrame(0x88, {0x03, 0xE8});
  ASSERT_TRUE(browser.WaitClosed());
  ASSERT_EQ(1u, browser.controls().size());
  EXPECT_EQ(0x88, browser.controls()[0].first);
  Expect(*native, TypeCode("RmLv"));
  EXPECT_EQ(0, Count("HTTPS 127.0.0.1")) << "a handshake failed";
}

// Connections that send garbage, stop half way through their handshake or
// never start one hold nothing up: others are served meanwhile, the garbage
// goes at once, the rest when the handshake deadline passes on the
// server's clock, each with one log line and counted.
TEST_F(HttpsTest, GarbageHalfAndSilentHandshakesLeaveOthersServed) {
  StartHttps();
  const double failed_before = HandshakesFailed();
  std::uint16_t port = server_->https_port();
  // Not TLS at all, the second a request for the plain port.
  int garbage = ConnectLoopback(port);
  int plain = ConnectLoopback(port);
  ASSERT_GE(garbage, 0);
  ASSERT_GE(plain, 0);
  const std::string noise(300, '\xFF');
  const std::string request = "GET /room.rmd HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(noise.size()), send(garbage, noise.data(), noise.size(), 0));
  ASSERT_EQ(static_cast<ssize_t>(request.size()), send(plain, request.data(), request.size(), 0));
  char byte;
  for (int fd : {garbage, plain}) {
    // Closed at once, well before any deadline; a fatal alert may come first.
    std::string rest;
    for (int reads = 0; reads < 10 && recv(fd, &byte, 1, 0) == 1; ++reads) rest += byte;
    EXPECT_LT(rest.size(), 10u);
    close(fd);
  }
  EXPECT_TRUE(server_->WaitForLog("HTTPS 127.0.0.1 TLS handshake failed: a plain HTTP request"));

  // Half a ClientHello, a whole one never followed up, and 500 connections
  // that say nothing.
  TlsTestClient hello_maker(Certificate("ca.pem"), "localhost");
  std::string hello = hello_maker.TakeOutput();
  std::vector<int> stalled;
  for (std::size_t size : {hello.size() / 2, hello.size()}) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(size), send(fd, hello.data(), size, 0));
    stalled.push_back(fd);
  }
  for (int i = 0; i < 500; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0) << i;
    stalled.push_back(fd);
  }
  std::ofstream(server_->data_dir() + "media/room.rmd") << "<roomdesc/>";
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Https("/room.rmd").ends_with("\r\n\r\n<roomdesc/>")) << i;
  }
  HttpsAnswer answer = HttpsFetch(port, Certificate("ca.pem"), request);
  EXPECT_TRUE(answer.answer.ends_with("\r\n\r\n<roomdesc/>")) << answer.error;
  EXPECT_EQ(0, Count("TLS handshake not done"));

  // Each handshake's time starts at its accept: the server must have taken
  // every one off its listen queue before its clock moves.
  for (int i = 0; i < 200 && Metric("zanth_connections{kind=\"http\"}") < 502; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(Metric("zanth_connections{kind=\"http\"}"), 502);

  // Just short of the deadline nothing goes; at it, all of them.
  server_->Advance(net::kTlsHandshakeSeconds - 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(0, Count("TLS handshake not done"));
  server_->Advance(1);
  EXPECT_TRUE(server_->WaitForLog("HTTPS 127.0.0.1 TLS handshake not done after 10 s", 502,
                                  10000));
  for (int fd : stalled) {
    std::string rest;
    for (int reads = 0; reads < 20 && recv(fd, &byte, 1, 0) == 1; ++reads) rest += byte;
    // The hello's answer may have come before the close.
    EXPECT_TRUE(rest.size() < 20 || fd == stalled[1]) << rest.size();
    close(fd);
  }
  EXPECT_EQ(502, Count("TLS handshake not done after 10 s"));
  EXPECT_EQ(failed_before + 504, HandshakesFailed());
  EXPECT_TRUE(Https("/room.rmd").ends_with("\r\n\r\n<roomdesc/>"));
}


// The real zanthd, whose certificate pair changes on disk while it runs. A
// start without a loadable pair serves chat and HTTP and says why HTTPS is
// missing; SIGHUP loads the pair (opening the port the first time); curl
// refuses the expired, wrong-host and self-signed ones; a pair that does
// not load leaves the one in use; and a browser connected over wss:// keeps
// talking through every reload.
TEST_F(HttpsTest, SighupReloadsTheCertificateWhileOpenConnectionsKeepTalking) {
  ASSERT_TRUE(made_);
  ServerProcess server;
  // The HTTPS port opens only at the first reload: one from the ephemeral
  // range could meanwhile become a parallel test's connection's.
  const std::uint16_t https_port = PickPortBelowEphemeralRange();
  server.WriteConfigWith([&server, https_port] {
    return "<?xml version=\"1.0\"?>\n<zanthd>\n  <sitename address=\"127.0.0.1\" port=\"" +
           std::to_string(server.chat_port()) + "\" httpport=\"" +
           std::to_string(server.http_port()) + "\" httpsport=\"" +
           std::to_string(https_port) + "\">Test Site</sitename>\n  <tls cert=\"site.pem\" key=\"site.key\"/>\n"
           "  <room id=\"100\" name=\"gate\" gate=\"yes\"/>\n</zanthd>\n";
  });
  ASSERT_TRUE(server.Start());
  const std::string port = std::to_string(https_port);
  const std::string missing = "HTTPS not started: ";
  EXPECT_NE(std::string::npos, server.StandardError().find("zanthd: " + missing)) << server.Log();
  EXPECT_EQ(1, server.CountInLog(missing));
  EXPECT_EQ(1, server.CountInLog("Web client at http://127.0.0.1:"));
  EXPECT_LT(ConnectLoopback(https_port), 0);
  EXPECT_EQ(0u, FetchRaw(server.http_port(), "GET /zanth.conf HTTP/1.0\r\n\r\n").find("HTTP/1.1 "));

  // Puts the pair in place, sends SIGHUP and waits for the count-th log line
  // that says what became of it.
  auto use = [&](const std::string& pair, const std::string& line, int count) {
    for (const char* ext : {".pem", ".key"}) {
      std::ifstream in(Certificate(pair + ext), std::ios::binary);
      std::ofstream(server.data_dir() + "site" + ext, std::ios::binary) << in.rdbuf();
    }
    server.Signal(SIGHUP);
    return server.WaitForLog(line, count, 10s);
  };
  auto curl = [&](const std::string& options) {
    std::string err = server.home() + "/curl.err";
    std::string command = "curl -s -S -o /dev/null --max-time 20 --cacert '" +
                          Certificate("ca.pem") + "' --resolve localhost:" + port + ":127.0.0.1 " + options +
                          " https://localhost:" + port +
                          "/gate.rmd 2>'" + err + "'";
    return std::system(command.c_str()) == 0 ? std::string() : ReadFileText(err);
  };

  ASSERT_TRUE(use("server", "main HTTPS on port " + port, 1)) << server.Log();
  EXPECT_TRUE(server.WaitForLog("main Web client at https://127.0.0.1:" + port, 1, 10s));
  EXPECT_EQ("", curl(""));
  EXPECT_EQ("3", HttpsFetch(https_port, Certificate("ca.pem"), "GET / HTTP/1.0\r\n\r\n")
                     .serial);

  Browser browser;
  ASSERT_EQ(0u, browser.OpenTls(https_port, kUpgrade, Certificate("ca.pem"))
                    .find("HTTP/1.1 101 Switching Protocols\r\n"));
  ASSERT_NE(0u, browser.SignOn("Webber"));
  auto talks = [&browser](const std::string& line) {
    browser.Send(client::kTalk, client::EncodeText(line), 1000);
    client::Message heard;
    client::Speech speech;
    for (int i = 0; i < 5; ++i) {
      if (!browser.WaitFor(TypeCode("Talk"), &heard)) return false;
      if (client::DecodeSpeech(heard.payload, &speech) && speech.text == line) return true;
    }
    return false;
  };
  EXPECT_TRUE(talks("before any reload"));

  struct Refused {
    const char* pair;
    const char* reason;
  };
  const std::string reloaded = "main HTTPS certificate reloaded: CN = ";
  int reloads = 0;
  for (Refused refused : {Refused{"expired", "expired"}, Refused{"wronghost", "localhost"},
                          Refused{"selfsigned", "self"}}) {
    SCOPED_TRACE(refused.pair);
    ASSERT_TRUE(use(refused.pair, reloaded, ++reloads)) << server.Log();
    EXPECT_NE(std::string::npos, curl("").find(refused.reason));
    EXPECT_EQ("", curl("--insecure"));
    EXPECT_TRUE(talks(std::string("after the ") + refused.pair + " pair"));
  }

  // A certificate with another pair's key does not load: the one in use stays.
  ASSERT_TRUE(use("server", reloaded, ++reloads));
  std::ifstream other(Certificate("renewed.key"), std::ios::binary);
  std::ofstream(server.data_dir() + "site.key", std::ios::binary) << other.rdbuf();
  server.Signal(SIGHUP);
  ASSERT_TRUE(server.WaitForLog("the one in use stays", 1, 10s)) << server.Log();
  EXPECT_EQ("", curl(""));
  EXPECT_EQ("3", HttpsFetch(https_port, Certificate("ca.pem"), "GET / HTTP/1.0\r\n\r\n")
                     .serial);

  ASSERT_TRUE(use("renewed", reloaded, ++reloads));
  EXPECT_EQ("4", HttpsFetch(https_port, Certificate("ca.pem"), "GET / HTTP/1.0\r\n\r\n")
                     .serial);
  EXPECT_TRUE(talks("after the renewal"));
  EXPECT_EQ("3", browser.tls_serial());
  EXPECT_EQ(0, server.Stop());
}

}  // namespace
}  // namespace zanth::testing
