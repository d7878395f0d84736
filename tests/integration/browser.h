// A browser's side of a chat connection over the HTTP or HTTPS port,
// written from the protocol's rules for the loopback tests: the WebSocket
// upgrade, masked client frames around the scrambled chat stream, and the
// server's frames taken apart again.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/encode.h"
#include "net/connection.h"
#include "net/scramble.h"
#include "session_fixture.h"
#include "support/tls_support.h"

namespace zanth::testing {

// The browser side, written from the protocol's rules: masked client frames
// around the scrambled chat stream.
class Browser {
 public:
  ~Browser() {
    if (fd_ >= 0) close(fd_);
  }

  // Opens the connection (from the local address from, when given) and
  // sends request; returns the answer's head.
  std::string Open(std::uint16_t port, const std::string& request, const std::string& from = "") {
    fd_ = ConnectLoopback(port, from);
    if (fd_ < 0) return "";
    return SendRequest(request);
  }

  // The same over TLS (wss://), trusting the root in ca_file; "" when the
  // handshake fails.
  std::string OpenTls(std::uint16_t port, const std::string& request, const std::string& ca_file,
                      const std::string& from = "") {
    tls_ = std::make_unique<TlsConnection>(port, ca_file, "localhost", from);
    if (!tls_->Handshake()) return "";
    return SendRequest(request);
  }

  // The serial number of the certificate a TLS connection was opened with.
  std::string tls_serial() { return tls_ != nullptr ? tls_->client().PeerSerial() : ""; }

  std::string SendRequest(const std::string& request) {
    SendBytes(request.data(), request.size());
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (head.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      char c;
      long n = ReceiveBytes(&c, 1);
      if (n == 1) {
        head += c;
      } else if (n == 0) {
        break;
      } else {
        std::this_thread::sleep_for(2ms);
      }
    }
    return head;
  }

  // Frames one chat message, scrambles it and sends it in masked binary
  // frames of at most piece bytes (fragmented when it does not fit one).
  void Send(std::uint32_t type, const std::vector<std::uint8_t>& payload, std::size_t piece) {
    std::vector<std::uint8_t> plain;
    wire::FrameMessage(wire::kChatMagic, type, payload.data(), payload.size(), false,
                           &plain);
    std::vector<std::uint8_t> stream;
    if (!scrambler_.started()) {
      scrambler_.Start(77);
      stream.push_back(77);
    }
    for (std::size_t i = 0; i < plain.size(); i += net::kBlockSize) {
      scrambler_.ScrambleBlock(plain.data() + i);
    }
    stream.insert(stream.end(), plain.begin(), plain.end());
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      std::size_t n = std::min(piece, stream.size() - at);
      bool first = at == 0;
      bool last = at + n == stream.size();
      SendFrame(static_cast<std::uint8_t>((last ? 0x80 : 0) | (first ? 0x2 : 0x0)),
                std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                          stream.begin() + static_cast<std::ptrdiff_t>(at + n)));
    }
  }

  void SendFrame(std::uint8_t first_byte, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f{first_byte};
    if (payload.size() < 126) {
      f.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
    } else {
      f.push_back(0x80 | 126);
      f.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
      f.push_back(static_cast<std::uint8_t>(payload.size()));
    }
    const std::uint8_t mask[4] = {0xA1, 0x5C, 0x07, 0xE2};
    f.insert(f.end(), mask, mask + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) f.push_back(payload[i] ^ mask[i % 4]);
    SendBytes(f.data(), f.size());
  }

  // The next message of type, reading frames for at most timeout; others
  // are kept in seen().
  // Identifies as a web client named nickname, the message cut in pieces
  // of piece bytes, and waits for "UAre": the user id, 0 when none came.
  std::uint32_t SignOn(const std::string& nickname, std::size_t piece = 1000) {
    client::Ident ident;
    ident.nickname = nickname;
    ident.capabilities = client::kWebClient;
    Send(client::kIdent, client::EncodeIdent(ident), piece);
    client::Message m;
    std::uint32_t id = 0;
    if (!WaitFor(wire::TypeCode("UAre"), &m) || !client::DecodeU32(m.payload, &id)) return 0;
    return id;
  }

  bool WaitFor(std::uint32_t type, client::Message* out, std::chrono::milliseconds timeout = 3s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (messages_[i].type == type) {
          *out = messages_[i];
          messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(i));
          return true;
        }
      }
      if (std::chrono::steady_clock::now() >= deadline || closed_) return false;
      ReadSome();
    }
  }

  // The control frames received so far: (first byte, payload).
  const std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>& controls() const {
    return controls_;
  }
  bool closed() const { return closed_; }
  // Reads until the peer closes the TCP connection, at most timeout.
  bool WaitClosed(std::chrono::milliseconds timeout = 3s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_ && std::chrono::steady_clock::now() < deadline) ReadSome();
    return closed_;
  }

 private:
  class Collector : public wire::MessageReceiver {
   public:
    explicit Collector(std::vector<client::Message>* out) : out_(out) {}
    bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                   bool /*compressed*/) override {
      out_->push_back({type, std::vector<std::uint8_t>(payload, payload + size), false});
      return true;
    }

   private:
    std::vector<client::Message>* out_;
  };

  void ReadSome() {
    std::uint8_t buffer[4096];
    long n = ReceiveBytes(buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
      closed_ = true;
      return;
    }
    if (n < 0) {
      std::this_thread::sleep_for(2ms);
      return;
    }
    wire_.insert(wire_.end(), buffer, buffer + n);
    // Server frames: unmasked, FIN set, binary data or control.
    while (wire_.size() >= 2) {
      std::size_t length = wire_[1] & 0x7F;
      std::size_t header = 2;
      EXPECT_EQ(0, wire_[1] & 0x80) << "server frames are not masked";
      if (length == 126 || length == 127) {
        header = length == 126 ? 4 : 10;
        if (wire_.size() < header) return;
        length = 0;
        for (std::size_t i = 2; i < header; ++i) length = length << 8 | wire_[i];
      }
      if (wire_.size() < header + length) return;
      std::vector<std::uint8_t> payload(
          wire_.begin() + static_cast<std::ptrdiff_t>(header),
          wire_.begin() + static_cast<std::ptrdiff_t>(header + length));
      std::uint8_t first = wire_[0];
      wire_.erase(wire_.begin(), wire_.begin() + static_cast<std::ptrdiff_t>(header + length));
      if (first != 0x82) {
        controls_.emplace_back(first, payload);
        continue;
      }
      EXPECT_LE(payload.size(), net::kMaxSendPerPass);
      Take(payload);
    }
  }

  void Take(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    if (!descrambler_.started() && !bytes.empty()) {
      descrambler_.Start(bytes[0]);
      at = 1;
    }
    scrambled_.insert(scrambled_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.end());
    std::size_t whole = scrambled_.size() - scrambled_.size() % net::kBlockSize;
    for (std::size_t i = 0; i < whole; i += net::kBlockSize) {
      descrambler_.DescrambleBlock(scrambled_.data() + i);
    }
    plain_.insert(plain_.end(), scrambled_.begin(),
                  scrambled_.begin() + static_cast<std::ptrdiff_t>(whole));
    scrambled_.erase(scrambled_.begin(), scrambled_.begin() + static_cast<std::ptrdiff_t>(whole));
    Collector collector(&messages_);
    wire::ParseOutcome outcome =
        wire::ParseMessages(plain_.data(), plain_.size(), wire::kChatMagic, collector);
    EXPECT_EQ(wire::ParseError::kNone, outcome.error);
    plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(outcome.consumed));
  }

  void SendBytes(const void* data, std::size_t size) {
    if (tls_ != nullptr) {
      (void)tls_->Write(std::string(static_cast<const char*>(data), size));
    } else {
      send(fd_, data, size, 0);
    }
  }
  // As a non-blocking receive: the count, 0 when closed, -1 when nothing
  // has come (errno EAGAIN).
  long ReceiveBytes(void* buffer, std::size_t size) {
    if (tls_ == nullptr) return recv(fd_, buffer, size, MSG_DONTWAIT);
    long n = tls_->Receive(buffer, size);
    if (n < 0) errno = EAGAIN;
    return n;
  }

  int fd_ = -1;
  std::unique_ptr<TlsConnection> tls_;
  bool closed_ = false;
  net::LinkScrambler scrambler_;
  net::LinkDescrambler descrambler_;
  std::vector<std::uint8_t> wire_, scrambled_, plain_;
  std::vector<client::Message> messages_;
  std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> controls_;
};

// Sends request (from the local address from, when given) and reads the
// whole answer until the server closes.
inline std::string FetchRaw(std::uint16_t port, const std::string& request,
                            const std::string& from = "") {
  int fd = ConnectLoopback(port, from);
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), 0);
  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    char buffer[1024];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0) {
      answer.append(buffer, static_cast<std::size_t>(n));
    } else {
      std::this_thread::sleep_for(2ms);
    }
  }
  close(fd);
  return answer;
}

inline constexpr char kUpgrade[] =
    "GET /chat-socket HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
    "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\nUser-Agent: test-browser\r\n\r\n";

}  // namespace zanth::testing
