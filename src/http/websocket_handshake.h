// The WebSocket opening handshake: a request on the HTTP port that asks to
// switch the connection to WebSocket frames, and the server's answer.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace zanth::http {

// base64(SHA-1(key + the protocol's fixed GUID)).
std::string WebSocketAccept(std::string_view key);

// Header lines of a request: lower-case names, first value of a name.
using HeaderMap = std::map<std::string, std::string>;

// True when a header list, split at commas, holds token (ASCII case is
// ignored, blanks around the items too).
bool HasToken(std::string_view list, std::string_view token);

// A request that asks for a protocol switch at all: it has an Upgrade header.
bool IsUpgradeAttempt(const HeaderMap& headers);

struct HandshakeAnswer {
  int status = 400;      // 101, 400, or 426 for a version other than 13
  std::string response;  // the whole response, head and body
};

// Judges a WebSocket opening request: method GET, "Upgrade: websocket",
// "Connection" listing "upgrade", "Sec-WebSocket-Version: 13" and a
// "Sec-WebSocket-Key" that is base64 of 16 bytes. No subprotocol is chosen.
HandshakeAnswer AnswerHandshake(std::string_view method, const HeaderMap& headers);
// The 400 answer.
HandshakeAnswer BadHandshake();

}  // namespace zanth::http
