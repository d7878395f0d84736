// The WebSocket opening handshake: the judgement of opening requests.
#include "http/websocket_handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zanth::http {
namespace {

HeaderMap GoodHeaders() {
  return {{"upgrade", "websocket"},
          {"connection", "Upgrade"},
          {"sec-websocket-version", "13"},
          {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="},
          {"host", "example"}};
}

TEST(HandshakeTest, SampleKeyIsAcceptedWithTheKnownValue) {
  EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", WebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="));
  HeaderMap headers = GoodHeaders();
  headers["connection"] = "keep-alive, Upgrade";
  headers["upgrade"] = "WebSocket";
  headers["sec-websocket-protocol"] = "chat, superchat";
  HandshakeAnswer a = AnswerHandshake("GET", headers);
  EXPECT_EQ(101, a.status);
  EXPECT_EQ(
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
      a.response);
}

TEST(HandshakeTest, BadAttemptsAreRefused) {
  struct Case {
    const char* method;
    const char* name;
    const char* value;  // nullptr removes the header
    int status;
  };
  const Case kCases[] = {
      {"POST", "host", "x", 400},
      {"GET", "upgrade", "h2c", 400},
      {"GET", "connection", "keep-alive", 400},
      {"GET", "connection", "upgraded", 400},
      {"GET", "sec-websocket-version", nullptr, 400},
      {"GET", "sec-websocket-version", "8", 426},
      {"GET", "sec-websocket-key", nullptr, 400},
      {"GET", "sec-websocket-key", "c2hvcnQ=", 400},                      // 5 bytes
      {"GET", "sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAA==AAAA", 400},  // 16 and more
      {"GET", "sec-websocket-key", "dGhlIHNhbXBsZSBub25jZR==", 400},      // bits under "=="
  };
  for (const Case& c : kCases) {
    HeaderMap headers = GoodHeaders();
    if (c.value == nullptr) {
      headers.erase(c.name);
    } else {
      headers[c.name] = c.value;
    }
    HandshakeAnswer a = AnswerHandshake(c.method, headers);
    EXPECT_EQ(c.status, a.status) << c.method << " " << c.name << ": " << (c.value ? c.value : "-");
    EXPECT_TRUE(a.response.starts_with(c.status == 426 ? "HTTP/1.1 426 " : "HTTP/1.1 400 "));
    if (c.status == 426) {
      EXPECT_NE(std::string::npos, a.response.find("\r\nSec-WebSocket-Version: 13\r\n"));
    }
  }
  EXPECT_TRUE(HasToken(" a ,\tUpGrade ", "upgrade"));
  EXPECT_FALSE(HasToken("", "upgrade"));
}

}  // namespace
}  // namespace zanth::http
