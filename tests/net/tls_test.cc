// The TLS engine against an OpenSSL client, all in memory: handshakes and
// data cut at any byte, garbage and half handshakes, old versions and
// renegotiation refused, and certificate reloads that keep what works.
#include "net/tls.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "core/metrics.h"
#include "core/result.h"
#include "platform/file.h"
#include "support/test_support.h"
#include "support/tls_support.h"

namespace zanth::net {
namespace {

using testing::TempDir;
using testing::TlsTestClient;

constexpr std::int64_t kStart = 1000;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::string output;
    made_ = testing::MakeTestCertificates(dir_->path(), &output);
    EXPECT_TRUE(made_) << output;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    std::string why;
    ASSERT_EQ(kOk, context_.Load(File("server.pem"), File("server.key"), &why)) << why;
  }

  static std::string File(const std::string& name) { return dir_->File(name); }

  std::unique_ptr<TlsTestClient> Client(TlsTestClient::Options options = {}) {
    return std::make_unique<TlsTestClient>(File("ca.pem"), "localhost", options);
  }

  // Moves bytes both ways until neither side has any, the client's in
  // pieces of at most cut bytes; the server's plaintext goes to *received.
  static void Pump(TlsTestClient& client, TlsEngine& engine, std::size_t cut,
                   std::string* received = nullptr) {
    for (int round = 0; round < 1000; ++round) {
      std::string to_server = client.TakeOutput();
      for (std::size_t at = 0; at < to_server.size(); at += cut) {
        std::size_t n = std::min(cut, to_server.size() - at);
        (void)engine.Feed(Bytes(to_server) + at, n);
        std::uint8_t plain[4096];
        while (std::size_t got = engine.Read(plain, sizeof plain)) {
          if (received != nullptr) received->append(reinterpret_cast<char*>(plain), got);
        }
      }
      std::size_t to_client = engine.output_size();
      // The client's side takes whatever the server had, in pieces too.
      for (std::size_t at = 0; at < to_client; at += cut) {
        std::size_t n = std::min(cut, to_client - at);
        client.Feed(engine.output() + at, n);
      }
      engine.Consume(to_client);
      if (to_server.empty() && to_client == 0) return;
    }
    ADD_FAILURE() << "the two sides never went quiet";
  }

  static TempDir* dir_;
  static bool made_;
  TlsContext context_;
};

TempDir* TlsTest::dir_ = nullptr;
bool TlsTest::made_ = false;

TEST_F(TlsTest, HandshakeAndDataBothWaysAcrossArbitraryCuts) {
  const std::string upstream = RandomBytes(100000, 1);
  const std::string downstream = RandomBytes(70000, 2);
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    for (std::size_t cut : {1, 2, 7, 100, 1500, 1 << 20}) {
      SCOPED_TRACE(::testing::Message() << "version " << version << " cut " << cut);
      auto client = Client({version, version, false});
      std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
      ASSERT_NE(nullptr, engine);
      // Written before the handshake: it goes out once the handshake is done.
      ASSERT_EQ(kOk, engine->Write(Bytes("early"), 5));
      EXPECT_EQ(5u, engine->buffered_plaintext());
      Pump(*client, *engine, cut);
      // The client trusts only the root: the chain came with the certificate.
      ASSERT_TRUE(client->handshake_done()) << client->error();
      ASSERT_EQ(TlsEngine::State::kOpen, engine->state()) << engine->error();
      EXPECT_EQ(version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2", client->Version());
      EXPECT_EQ(client->Version(), engine->Description().substr(0, client->Version().size()));
      EXPECT_EQ("early", client->TakePlaintext());

      std::string received;
      ASSERT_TRUE(client->Write(upstream));
      Pump(*client, *engine, cut, &received);
      EXPECT_TRUE(received == upstream) << received.size() << " bytes of " << upstream.size();
      ASSERT_EQ(kOk, engine->Write(Bytes(downstream), downstream.size()));
      Pump(*client, *engine, cut);
      EXPECT_TRUE(client->TakePlaintext() == downstream);

      // The server's close_notify reaches the client, and the client's
      // closes the engine's reading side.
      engine->Close();
      EXPECT_EQ(kFailed, engine->Write(Bytes("late"), 4));
      Pump(*client, *engine, cut);
      EXPECT_TRUE(client->peer_closed());
      client->Close();
      Pump(*client, *engine, cut);
      EXPECT_EQ(TlsEngine::State::kClosed, engine->state());
      EXPECT_EQ(0u, engine->output_size());
    }
  }
}

TEST_F(TlsTest, GarbageFirstBytesFailCleanlyAtAnyCut) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;  // a part of the error, or nullptr for any
  };
  const Case kCases[] = {
      {"plain HTTP", "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n", "a plain HTTP request"},
      {"all ones", std::string(300, '\xFF'), nullptr},
      {"handshake record of an unknown version",
       std::string("\x16\x09\x09\x00\x10", 5) + std::string(16, 'A'), nullptr},
      {"alert record first", std::string("\x15\x03\x03\x00\x02\x02\x28", 7), nullptr},
      {"SSLv2 hello", std::string("\x80\x2e\x01\x00\x02\x00\x15\x00\x00\x00\x10", 11) +
                           std::string(37, 'B'), nullptr},
      {"ClientHello with its body garbled",
       std::string("\x16\x03\x01\x00\x30\x01\x00\x00\x2c\x03\x03", 11) + std::string(44, 'C'),
       nullptr},
  };
  for (const Case& c : kCases) {
    for (std::size_t cut : {std::size_t{1}, c.bytes.size()}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", cut " << cut);
      std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
      std::uint64_t failures = GetMetrics().tls_handshakes_failed;
      int result = kOk;
      for (std::size_t at = 0; at < c.bytes.size() && result == kOk; at += cut) {
        result = engine->Feed(Bytes(c.bytes) + at, std::min(cut, c.bytes.size() - at));
      }
      EXPECT_EQ(kFailed, result);
      EXPECT_TRUE(engine->failed());
      EXPECT_FALSE(engine->handshake_done());
      EXPECT_TRUE(engine->error().starts_with("TLS handshake failed: ")) << engine->error();
      if (c.reason != nullptr) {
        EXPECT_NE(std::string::npos, engine->error().find(c.reason)) << engine->error();
      }
      EXPECT_EQ(failures + 1, GetMetrics().tls_handshakes_failed);
      // Nothing more goes in or out of a failed engine, and it is counted once.
      EXPECT_EQ(kFailed, engine->Feed(Bytes("more"), 4));
      EXPECT_EQ(kFailed, engine->Write(Bytes("more"), 4));
      std::uint8_t plain[16];
      EXPECT_EQ(0u, engine->Read(plain, sizeof plain));
      EXPECT_TRUE(engine->CheckDeadline(kStart + 100));
      EXPECT_EQ(failures + 1, GetMetrics().tls_handshakes_failed);
    }
  }
}

TEST_F(TlsTest, HalfHandshakeFailsAtTheDeadlineOnly) {
  auto client = Client();
  std::string hello = client->TakeOutput();
  ASSERT_GT(hello.size(), 10u);
  std::uint64_t failures = GetMetrics().tls_handshakes_failed;
  // Half a ClientHello, and a whole one whose client never answers.
  for (std::size_t size : {hello.size() / 2, hello.size()}) {
    std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
    ASSERT_EQ(kOk, engine->Feed(Bytes(hello), size));
    EXPECT_EQ(size == hello.size(), engine->output_size() > 0);
    EXPECT_FALSE(engine->CheckDeadline(kStart + kTlsHandshakeSeconds - 1));
    EXPECT_EQ(TlsEngine::State::kHandshaking, engine->state());
    EXPECT_TRUE(engine->CheckDeadline(kStart + kTlsHandshakeSeconds));
    EXPECT_EQ("TLS handshake not done after 10 s", engine->error());
    EXPECT_TRUE(engine->CheckDeadline(kStart + kTlsHandshakeSeconds + 1));
  }
  EXPECT_EQ(failures + 2, GetMetrics().tls_handshakes_failed);
  // A finished handshake has no deadline.
  std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
  auto finished = Client();
  Pump(*finished, *engine, 1 << 20);
  ASSERT_TRUE(engine->handshake_done());
  EXPECT_FALSE(engine->CheckDeadline(kStart + 1000));
  EXPECT_EQ(failures + 2, GetMetrics().tls_handshakes_failed);
}

TEST_F(TlsTest, OldVersionsAndRenegotiationAreRefused) {
  auto old = Client({TLS1_VERSION, TLS1_1_VERSION, true});
  std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
  Pump(*old, *engine, 1 << 20);
  EXPECT_TRUE(engine->failed());
  EXPECT_NE(std::string::npos, engine->error().find("unsupported protocol")) << engine->error();
  EXPECT_FALSE(old->handshake_done());

  // A TLS 1.2 client that asks to renegotiate is told no: no second
  // handshake ever starts on a connection.
  auto client = Client({TLS1_2_VERSION, TLS1_2_VERSION, false});
  engine = context_.NewEngine(kStart);
  Pump(*client, *engine, 1 << 20);
  ASSERT_TRUE(client->handshake_done());
  ASSERT_EQ(1, SSL_renegotiate(client->ssl()));
  (void)SSL_do_handshake(client->ssl());
  Pump(*client, *engine, 1 << 20);
  EXPECT_EQ("no renegotiation", client->error());
  EXPECT_EQ(1, SSL_renegotiate_pending(client->ssl()));
}

TEST_F(TlsTest, ReloadKeepsThePairInUseWhenTheNewOneDoesNotLoad) {
  auto SerialSeen = [this]() {
    auto client = Client();
    std::unique_ptr<TlsEngine> engine = context_.NewEngine(kStart);
    Pump(*client, *engine, 1 << 20);
    EXPECT_TRUE(client->handshake_done()) << client->error();
    return client->PeerSerial();
  };
  ASSERT_EQ("3", SerialSeen());
  EXPECT_EQ(0u, context_.description().find("CN = localhost, valid until "))
      << context_.description();

  ASSERT_EQ(0, platform::WriteWholeFile(File("garbage.pem"), "not a certificate\n"));
  struct Case {
    std::string certificate, key;
    int result;
    std::string why;  // a part of the reason
  };
  const Case kCases[] = {
      {File("missing.pem"), File("server.key"), ENOENT,
       "cannot read " + File("missing.pem") + ": No such file or directory"},
      {File("garbage.pem"), File("server.key"), kFailed,
       File("garbage.pem") + " holds no PEM certificate"},
      {File("renewed.pem"), File("server.key"), kFailed,
       "the key in " + File("server.key") + " does not belong to the certificate in " +
           File("renewed.pem")},
      {File("renewed.pem"), File("renewed.pem"), kFailed,
       File("renewed.pem") + " holds no private key"},
      {"", File("renewed.key"), kFailed, "no certificate file is set"},
  };
  for (const Case& c : kCases) {
    std::string why;
    EXPECT_EQ(c.result, context_.Load(c.certificate, c.key, &why)) << c.why;
    EXPECT_NE(std::string::npos, why.find(c.why)) << why;
    EXPECT_EQ("3", SerialSeen()) << c.why;
  }

  // An engine made before a good reload finishes its handshake on the old
  // pair; engines made after it get the new one.
  auto before = Client();
  std::unique_ptr<TlsEngine> engine_before = context_.NewEngine(kStart);
  std::string why;
  ASSERT_EQ(kOk, context_.Load(File("renewed.pem"), File("renewed.key"), &why)) << why;
  Pump(*before, *engine_before, 1 << 20);
  EXPECT_EQ("3", before->PeerSerial());
  EXPECT_EQ("4", SerialSeen());
}

}  // namespace
}  // namespace zanth::net
