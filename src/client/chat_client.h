// A protocol client for the chat server: one scrambled TCP link, message
// framing in both directions, typed senders for the client's messages and
// bounded waits for the server's. One client is used by one thread at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/records.h"
#include "net/scramble.h"
#include "platform/socket.h"

namespace zanth::client {

// One message from the server.
struct Message {
  std::uint32_t type = 0;             // compressed flag cleared
  std::vector<std::uint8_t> payload;  // inflated; may end in zero padding
  bool compressed = false;            // it travelled compressed

  bool operator==(const Message&) const = default;
};

struct ChatClientOptions {
  // The seed of the sending direction; a fresh one per client when empty.
  std::optional<std::uint8_t> send_seed;
  // How long one send may wait for room in the socket's buffer.
  std::chrono::milliseconds send_timeout = std::chrono::seconds(5);
};

struct SignOnResult {
  std::vector<Message> messages;  // in arrival order, "SvCp" last on success
  std::uint32_t user_id = 0;      // from "UAre"; 0 when none came
};

// Results are 0 (kOk), kParamErr when there is no connection or an argument
// is unusable, kFailed for an unknown host or a connection that ended, or a
// positive system error (ETIMEDOUT when a bounded wait ran out).
class ChatClient {
 public:
  ChatClient();
  explicit ChatClient(const ChatClientOptions& options);
  ~ChatClient();
  // A moved-from client may only be destroyed or assigned to.
  ChatClient(ChatClient&&) = default;
  ChatClient& operator=(ChatClient&&) = default;
  ChatClient(const ChatClient&) = delete;
  ChatClient& operator=(const ChatClient&) = delete;

  // Connects to host (dotted decimal or a name) at port, from bind_address
  // (dotted decimal, e.g. "127.1.0.5"; empty = any) when given, waiting at
  // most timeout. Drops any earlier connection and its unread messages.
  [[nodiscard]] int Connect(
      const std::string& host, std::uint16_t port,
      const std::string& bind_address = "",
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Starts the same connect without waiting for it: many clients can then
  // connect at once and be completed by one poll over their fd()s. Returns
  // kOk when the connect was started (or is done); then FinishConnect ends
  // it. Drops any earlier connection and its unread messages.
  [[nodiscard]] int StartConnect(const std::string& host, std::uint16_t port,
                                 const std::string& bind_address = "");
  // Ends a connect begun by StartConnect. Returns kOk when the connection is
  // up, EINPROGRESS (nothing changed) while it is still being made, or the
  // connect's error, with the socket closed. Does not wait. REQUIRES: it
  // has returned kOk before anything is sent on the connection.
  [[nodiscard]] int FinishConnect();
  // Closes the connection; closed() becomes true. Unread messages stay
  // readable through Receive.
  void Close();

  // A connection is open (it may still be closed by the peer unnoticed).
  bool connected() const { return socket_.valid(); }
  // The connection ended: closed by the peer, by Close, by an error, or by
  // bad framing from the server.
  bool closed() const { return closed_; }
  // What ended the connection: 0 for an orderly close (by either side),
  // kFailed for bad framing from the server, ETIMEDOUT for a send that could
  // not finish, else the system error.
  int last_error() const { return last_error_; }
  std::uint8_t send_seed() const { return send_seed_; }
  // The local port of the connection, or 0.
  std::uint16_t local_port() const;
  // The connection's socket, for a caller that polls many clients at once
  // (then Receive with a zero wait reads what its poll found), or -1. The
  // client still owns it: watch it, never read, write or close it.
  int fd() const { return socket_.fd(); }

  // Frames one message (compressed when compress is set and the payload is
  // over 1500 bytes) and sends it scrambled. The first send of a connection
  // writes the seed byte first.
  [[nodiscard]] int Send(std::uint32_t type,
                         const std::vector<std::uint8_t>& payload,
                         bool compress = false);
  // Scrambles and sends bytes as they are. REQUIRES: a multiple of 16 bytes
  // (else kParamErr, nothing sent). Shares the link state with Send.
  [[nodiscard]] int SendRawPlain(const std::vector<std::uint8_t>& bytes);
  // Sends bytes exactly as given: no scrambling, no seed, no state change.
  [[nodiscard]] int SendRawWire(const std::vector<std::uint8_t>& bytes);

  // The next complete message, waiting at most timeout (0 = only what has
  // arrived). false on timeout, and when the connection has ended and every
  // message received before the end has been read.
  bool Receive(Message* out, std::chrono::milliseconds timeout);
  // The next message of type; others are dropped, or appended to skipped
  // when it is given. false when none came within timeout.
  bool WaitFor(std::uint32_t type, Message* out,
               std::chrono::milliseconds timeout,
               std::vector<Message>* skipped = nullptr);
  // Every message until none arrives for quiet, or until limit has passed.
  std::vector<Message> ReceiveAll(
      std::chrono::milliseconds quiet,
      std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Sends "Idn2" and collects every message up to and including "SvCp",
  // the last message of a sign-on. Returns 0; ETIMEDOUT when "SvCp" did not
  // come within timeout; kFailed when the connection ended first (a "Kill"
  // is then among out->messages); or the send error.
  [[nodiscard]] int SignOn(const Ident& ident,
                           std::chrono::milliseconds timeout,
                           SignOnResult* out);

  // Typed senders, one per client message.
  [[nodiscard]] int SendIdent(const Ident& ident);
  [[nodiscard]] int SendTalk(std::string_view text);
  [[nodiscard]] int SendWhisper(const std::vector<std::uint32_t>& targets,
                                std::string_view text);
  [[nodiscard]] int SendRoomMessage(std::string_view text);
  [[nodiscard]] int SendMove(std::int16_t x, std::int16_t y);
  [[nodiscard]] int SendMove3D(const std::array<float, 12>& pose);
  [[nodiscard]] int SendFace(std::uint16_t face);
  [[nodiscard]] int SendColour(std::uint32_t colour);
  [[nodiscard]] int SendFaceImage(std::string_view name);
  [[nodiscard]] int SendBadge();
  [[nodiscard]] int SendVoice(std::int16_t voice);
  [[nodiscard]] int SendName(std::string_view name);
  [[nodiscard]] int SendData(std::string_view tag, bool global,
                             const std::vector<std::uint32_t>& targets,
                             const std::vector<std::uint8_t>& bytes,
                             bool compress = false);
  [[nodiscard]] int SendRoomRequest(std::int16_t room);
  [[nodiscard]] int SendRoomListRequest();
  [[nodiscard]] int SendRoomListStop();
  [[nodiscard]] int SendRoomNameRequest(std::uint16_t room);
  [[nodiscard]] int SendRoomInfoRequest();
  [[nodiscard]] int SendFreeRoomIdRequest();
  // type is kCreateRoom ("CrRm") or kUpdateRoom ("UpRm"); else kParamErr.
  [[nodiscard]] int SendRoomRecord(std::uint32_t type,
                                   const RoomRecordFields& room);
  [[nodiscard]] int SendUserListRequest();
  [[nodiscard]] int SendUserListStop();
  [[nodiscard]] int SendAuth(std::string_view name, std::string_view password);
  [[nodiscard]] int SendGroupList(const std::vector<Group>& groups);
  // Replaces every account of the site (see EncodeAccountList for the
  // order the server keeps).
  [[nodiscard]] int SendAccountList(const std::vector<Account>& accounts);
  // A message without payload ("REGl", "REPm", "RECm", "REAu", "REBl",
  // "REDI", ...).
  [[nodiscard]] int SendEmpty(std::uint32_t type);

 private:
  // Scrambles plain (a multiple of 16 bytes) in place, putting the seed
  // byte in front on the first use, and writes it.
  int SendScrambled(std::vector<std::uint8_t> plain);
  int WriteAll(const std::uint8_t* bytes, std::size_t count);
  // Waits for interest on the socket; false on timeout.
  bool WaitReady(std::uint32_t interest, int timeout_ms);
  // Reads what the socket holds, waiting at most timeout_ms for the first
  // byte, and queues the complete messages.
  void ReadAvailable(int timeout_ms);
  // The next message, reading the socket until deadline, and once even when
  // it has passed unless *read_once is already set (it is then set).
  bool NextBefore(std::chrono::steady_clock::time_point deadline,
                  bool* read_once, Message* out);
  void TakeWireBytes(const std::uint8_t* bytes, std::size_t count);
  void ParsePlain();
  void EndConnection(int error);
  void ResetLink();

  ChatClientOptions options_;
  platform::Socket socket_;
  std::unique_ptr<platform::Poller> poller_;
  std::vector<platform::Poller::Event> events_;
  std::uint8_t send_seed_ = 0;
  net::LinkScrambler scrambler_;
  net::LinkDescrambler descrambler_;
  std::vector<std::uint8_t> wire_;   // received, not yet a whole block
  std::vector<std::uint8_t> plain_;  // descrambled, not yet a whole message
  std::deque<Message> ready_;
  bool closed_ = false;
  bool connecting_ = false;  // StartConnect has not been finished yet
  int last_error_ = 0;
};

}  // namespace zanth::client
