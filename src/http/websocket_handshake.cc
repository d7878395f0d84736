// The WebSocket opening handshake on the HTTP port.
#include "http/websocket_handshake.h"

#include "net/crypto.h"

namespace zanth::http {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 12\r\n\r\nBad Request\n";
constexpr char kUpgradeRequired[] =
    "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\n"
    "Content-Length: 17\r\n\r\nUpgrade Required\n";

std::string_view Trim(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string_view Header(const HeaderMap& headers, const std::string& name) {
  auto it = headers.find(name);
  return it == headers.end() ? std::string_view() : Trim(it->second);
}

}  // namespace

std::string WebSocketAccept(std::string_view key) {
  std::string text(key);
  text += kAcceptGuid;
  net::Sha1Digest digest =
      net::Sha1(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return net::Base64Encode(digest.data(), digest.size());
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    if (EqualsIgnoringCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

bool IsUpgradeAttempt(const HeaderMap& headers) { return headers.count("upgrade") > 0; }

HandshakeAnswer BadHandshake() { return {400, kBadRequest}; }

HandshakeAnswer AnswerHandshake(std::string_view method, const HeaderMap& headers) {
  if (method != "GET" || !HasToken(Header(headers, "upgrade"), "websocket") ||
      !HasToken(Header(headers, "connection"), "upgrade")) {
    return BadHandshake();
  }
  std::string_view version = Header(headers, "sec-websocket-version");
  if (version.empty()) return BadHandshake();
  if (version != "13") return {426, kUpgradeRequired};
  std::string_view key = Header(headers, "sec-websocket-key");
  std::vector<std::uint8_t> nonce;
  if (!net::Base64Decode(key, &nonce) || nonce.size() != 16) return BadHandshake();
  return {101,
          "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Accept: " +
              WebSocketAccept(key) + "\r\n\r\n"};
}

}  // namespace zanth::http
