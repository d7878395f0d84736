// Browsers behind a reverse proxy: the address that a trusted proxy
// forwards is the visitor's for bans, the Local flag, the one silent
// connection an address may have and the log; from anyone else the header
// counts for nothing.
#include "browser.h"
#include "client/encode.h"
#include "session_fixture.h"
#include "users/ban_list.h"

namespace zanth::testing {
namespace {

// The upgrade request with an X-Forwarded-For header of value.
std::string UpgradeForwarding(const std::string& value) {
  std::string request = kUpgrade;
  request.insert(request.size() - 2, "X-Forwarded-For: " + value + "\r\n");
  return request;
}

// Signs a browser on with ident; true when the server took it, false when
// it was sent "Kill" with reason 1 (banned).
bool SignsOn(Browser& browser, const client::Ident& ident) {
  browser.Send(client::kIdent, client::EncodeIdent(ident), 1000);
  client::Message m;
  if (browser.WaitFor(TypeCode("UAre"), &m, 1s)) return true;
  EXPECT_TRUE(browser.WaitFor(TypeCode("Kill"), &m)) << "neither signed on nor killed";
  std::uint16_t reason = 0;
  EXPECT_TRUE(client::DecodeU16(m.payload, &reason));
  EXPECT_EQ(1, reason);
  return false;
}

TEST_F(SessionTest, TrustedProxyForwardsTheVisitorsAddressAndNoOneElseDoes) {
  // The usual set-up: the proxy runs on the same machine.
  StartServer(InProcessServer::DefaultRooms(), "trustedproxy=\"127.0.0.1\"");
  std::uint16_t port = server_->http_port();
  client::Ident banned;
  banned.nickname = "Banned";
  banned.capabilities = client::kWebClient;
  server_->Run([&](protocol::Site& site) {
    site.bans.AddFront({"Banned", {0, 0, banned.uuid[2], banned.uuid[3]}, 0, {0, 0, 0}, 0,
                        users::kBanned});
  });

  // Through the proxy the visitor is no longer local, so the ban holds.
  Browser proxied;
  ASSERT_TRUE(proxied.Open(port, UpgradeForwarding("198.51.100.20, 203.0.113.9"))
                  .starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(server_->WaitForLog("203.0.113.9 GET 101 chat-socket"));
  EXPECT_TRUE(server_->WaitForLog("from 203.0.113.9"));
  EXPECT_FALSE(SignsOn(proxied, banned));
  EXPECT_TRUE(server_->WaitForLog("203.0.113.9 is banned"));

  // The proxy's machine itself, without the header, is still local.
  Browser local;
  ASSERT_TRUE(local.Open(port, kUpgrade).starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(SignsOn(local, banned));

  // Anyone else who writes the header gains nothing by it, not even the
  // Local flag of the address it names.
  Browser spoofing;
  ASSERT_TRUE(spoofing.Open(port, UpgradeForwarding("127.0.0.1"), "127.0.0.5")
                  .starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(server_->WaitForLog("from 127.0.0.5"));
  EXPECT_FALSE(SignsOn(spoofing, banned));
  EXPECT_TRUE(server_->WaitForLog("127.0.0.5 is banned"));

  // Silent connections are one per visitor, not one per proxy.
  Browser first, other, second;
  ASSERT_TRUE(first.Open(port, UpgradeForwarding("192.0.2.50")).starts_with("HTTP/1.1 101 "));
  ASSERT_TRUE(other.Open(port, UpgradeForwarding("192.0.2.51")).starts_with("HTTP/1.1 101 "));
  ASSERT_TRUE(server_->WaitForLog("from 192.0.2.51"));
  EXPECT_EQ(std::string::npos, server_->Log().find("multiple unknown connects"));
  ASSERT_TRUE(
      second.Open(port, UpgradeForwarding("[2001:db8::50]:4431")).starts_with("HTTP/1.1 101 "));
  ASSERT_TRUE(server_->WaitForLog("from 2001:db8::50"));
  EXPECT_EQ(std::string::npos, server_->Log().find("multiple unknown connects"));
  Browser again;
  ASSERT_TRUE(again.Open(port, UpgradeForwarding("192.0.2.50")).starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(server_->WaitForLog("multiple unknown connects"));
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_FALSE(other.WaitClosed(200ms));

  // A trusted proxy that forwards something other than an address is
  // refused rather than believed or ignored.
  Browser garbled;
  EXPECT_TRUE(garbled.Open(port, UpgradeForwarding("unknown")).starts_with("HTTP/1.1 400 "));
}

}  // namespace
}  // namespace zanth::testing
