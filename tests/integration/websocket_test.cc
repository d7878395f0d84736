// A browser's chat connection over the HTTP port: the WebSocket upgrade,
// then the scrambled chat protocol in binary frames, meeting a native client
// in the same room.
#include "browser.h"
#include "client/encode.h"
#include "http/http_server.h"
#include "session_fixture.h"

namespace zanth::testing {
namespace {

TEST_F(SessionTest, BrowserOverWebSocketMeetsANativeClient) {
  StartServer();
  EXPECT_TRUE(server_->WaitForLog("Web client at http://127.0.0.1:" +
                                  std::to_string(server_->http_port()) + "/web/index.html"));
  auto native = SignOn("Native");
  Browser browser;
  std::string head = browser.Open(server_->http_port(), kUpgrade);
  ASSERT_EQ(
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
      head);
  EXPECT_TRUE(server_->WaitForLog("GET 101 chat-socket test-browser"));

  // Small pieces: the ident spans fragments of one message.
  std::uint32_t browser_id = browser.SignOn("Webber", 50);
  ASSERT_NE(0u, browser_id);
  client::Message m;
  ASSERT_TRUE(browser.WaitFor(TypeCode("SvCp"), &m));
  EXPECT_TRUE(server_->WaitForLog("\"Webber\""));

  client::UserSummary entered;
  ASSERT_TRUE(client::DecodeUserSummary(Expect(*native, TypeCode("RmEn")).payload, &entered));
  EXPECT_EQ(browser_id, entered.id);

  browser.Send(client::kTalk, client::EncodeText("hello from the web"), 1000);
  client::Speech s = ExpectTalk(*native);
  EXPECT_EQ(browser_id, s.speaker);
  EXPECT_EQ("hello from the web", s.text);

  ASSERT_EQ(0, native->SendTalk("hello browser"));
  bool heard = false;
  for (int i = 0; i < 3 && !heard; ++i) {  // its own line comes back first
    ASSERT_TRUE(browser.WaitFor(TypeCode("Talk"), &m));
    client::Speech got;
    ASSERT_TRUE(client::DecodeSpeech(m.payload, &got));
    heard = got.speaker == IdOf(*native) && got.text == "hello browser";
  }
  EXPECT_TRUE(heard);

  // A ping between messages, and the close handshake: the session ends as a
  // lost connection's does.
  browser.SendFrame(0x89, {'h', 'i'});
  browser.SendFrame(0x88, {0x03, 0xE8});
  ASSERT_TRUE(browser.WaitClosed());
  ASSERT_EQ(2u, browser.controls().size());
  EXPECT_EQ(0x8A, browser.controls()[0].first);
  EXPECT_EQ((std::vector<std::uint8_t>{'h', 'i'}), browser.controls()[0].second);
  EXPECT_EQ(0x88, browser.controls()[1].first);
  EXPECT_EQ((std::vector<std::uint8_t>{0x03, 0xE8}), browser.controls()[1].second);
  std::uint32_t left = 0;
  ASSERT_TRUE(client::DecodeU32(Expect(*native, TypeCode("RmLv")).payload, &left));
  EXPECT_EQ(browser_id, left);
}

TEST_F(SessionTest, SilentBrowserCountsAsTheAddressesUnidentifiedConnection) {
  StartServer();
  Browser first;
  ASSERT_TRUE(first.Open(server_->http_port(), kUpgrade).starts_with("HTTP/1.1 101 "));
  ASSERT_TRUE(server_->WaitForLog("from 127.0.0.1"));
  // A second silent connection from 127.0.0.1 replaces the first, whichever
  // port it came through.
  ChatClient native;
  ASSERT_EQ(0, native.Connect("127.0.0.1", server_->chat_port(), "127.0.0.1"));
  EXPECT_TRUE(server_->WaitForLog("multiple unknown connects"));
  EXPECT_TRUE(first.WaitClosed());
}

TEST_F(SessionTest, ChatSocketRequestsWithoutAGoodUpgrade) {
  StartServer();
  // No Upgrade header: the path is a file name like any other.
  EXPECT_EQ(http::kNotFound,
            FetchRaw(server_->http_port(), "GET /chat-socket HTTP/1.1\r\nHost: x\r\n\r\n"));
  Browser old_version;
  std::string request = kUpgrade;
  request.replace(request.find("Version: 13"), 11, "Version: 8");
  EXPECT_TRUE(old_version.Open(server_->http_port(), request)
                  .starts_with("HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"));
  EXPECT_TRUE(old_version.WaitClosed());
  Browser no_key;
  request = kUpgrade;
  request.replace(request.find("dGhl"), 4, "");
  EXPECT_TRUE(
      no_key.Open(server_->http_port(), request).starts_with("HTTP/1.1 400 Bad Request\r\n"));
  EXPECT_TRUE(no_key.WaitClosed());
  // A text frame after a good upgrade: close 1003, and no user stays.
  Browser texting;
  ASSERT_TRUE(texting.Open(server_->http_port(), kUpgrade).starts_with("HTTP/1.1 101 "));
  texting.SendFrame(0x81, {'h', 'i'});
  ASSERT_TRUE(texting.WaitClosed());
  ASSERT_EQ(1u, texting.controls().size());
  EXPECT_EQ((std::vector<std::uint8_t>{0x03, 0xEB}), texting.controls()[0].second);
  EXPECT_TRUE(server_->WaitForLog("Discnct"));
}

}  // namespace
}  // namespace zanth::testing
