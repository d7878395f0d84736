// The chat client: connect, scrambled link, framing and bounded waits.
#include "client/chat_client.h"

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

#include "client/decode.h"
#include "client/encode.h"
#include "core/result.h"
#include "wire/framing.h"

namespace zanth::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimedOut = static_cast<int>(std::errc::timed_out);
constexpr int kInProgress = static_cast<int>(std::errc::operation_in_progress);
constexpr std::size_t kReadChunk = 16384;
// Reads per wake-up: a full socket buffer several times over, bounded so a
// peer that never stops sending cannot hold the caller past its deadline.
constexpr int kMaxReadsPerWake = 16;

// Milliseconds left until deadline, rounded up; 0 once it has passed.
int RemainingMs(Clock::time_point deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())
          .count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

std::uint8_t PickSeed(const ChatClientOptions& options) {
  if (options.send_seed) return *options.send_seed;
  // 0 to 254, the range the server itself picks from.
  return static_cast<std::uint8_t>(NewClientUuid()[0] % 255);
}

// Copies each parsed message into the ready queue.
class QueueingReceiver : public wire::MessageReceiver {
 public:
  explicit QueueingReceiver(std::deque<Message>* ready) : ready_(ready) {}
  bool OnMessage(std::uint32_t type, const std::uint8_t* payload,
                 std::size_t size, bool compressed) override {
    ready_->push_back(Message{
        type, std::vector<std::uint8_t>(payload, payload + size), compressed});
    return true;
  }

 private:
  std::deque<Message>* ready_;
};

}  // namespace

ChatClient::ChatClient() : ChatClient(ChatClientOptions()) {}

ChatClient::ChatClient(const ChatClientOptions& options)
    : options_(options),
      poller_(std::make_unique<platform::Poller>()),
      send_seed_(PickSeed(options)) {}

ChatClient::~ChatClient() = default;

void ChatClient::ResetLink() {
  socket_.Close();
  scrambler_ = net::LinkScrambler();
  descrambler_ = net::LinkDescrambler();
  wire_.clear();
  plain_.clear();
  ready_.clear();
  closed_ = false;
  connecting_ = false;
  last_error_ = 0;
}

int ChatClient::Connect(const std::string& host, std::uint16_t port,
                        const std::string& bind_address,
                        std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  if (int rc = StartConnect(host, port, bind_address); rc != kOk) return rc;
  int rc = FinishConnect();
  if (rc != kInProgress) return rc;
  // Write readiness ends the connect, in success or in error.
  if (WaitReady(platform::kWritable, RemainingMs(deadline)) &&
      (rc = FinishConnect()) != kInProgress) {
    return rc;
  }
  socket_.Close();
  connecting_ = false;
  return kTimedOut;
}

int ChatClient::StartConnect(const std::string& host, std::uint16_t port,
                             const std::string& bind_address) {
  ResetLink();
  std::uint32_t address = 0;
  if (platform::ResolveIPv4(host, &address) != 0) return kFailed;
  std::uint32_t local = 0;
  if (!bind_address.empty() && !platform::ParseIPv4(bind_address, &local))
    return kParamErr;
  if (!poller_ || !poller_->valid()) return kFailed;

  platform::Socket socket;
  bool in_progress = false;
  int rc =
      platform::ConnectNonBlocking(address, port, local, &socket, &in_progress);
  if (rc != 0) return rc;
  // Closing the descriptor later also takes it out of the poller.
  if ((rc = poller_->Add(socket.fd(), platform::kWritable, nullptr)) != 0)
    return rc;
  socket_ = std::move(socket);
  connecting_ = in_progress;
  return kOk;
}

int ChatClient::FinishConnect() {
  if (!socket_.valid()) return kParamErr;
  if (!connecting_) return kOk;
  if (!WaitReady(platform::kWritable, 0)) return kInProgress;
  connecting_ = false;
  if (int rc = platform::PendingError(socket_.fd()); rc != 0) {
    socket_.Close();
    return rc;
  }
  return kOk;
}

void ChatClient::Close() {
  if (socket_.valid()) EndConnection(0);
}

void ChatClient::EndConnection(int error) {
  if (!closed_) last_error_ = error;
  closed_ = true;
  socket_.Close();
  // Bytes of an unfinished block or message can never be completed now.
  wire_.clear();
  plain_.clear();
}

std::uint16_t ChatClient::local_port() const {
  return socket_.valid() ? platform::LocalPort(socket_.fd()) : 0;
}

bool ChatClient::WaitReady(std::uint32_t interest, int timeout_ms) {
  if (poller_->Modify(socket_.fd(), interest, nullptr) != 0) return false;
  Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int error = 0;
    int n = poller_->Wait(RemainingMs(deadline), &events_, &error);
    if (n > 0) return true;  // readiness, or an error the next call reports
    if (n == 0 || !platform::IsWouldBlock(error) || RemainingMs(deadline) == 0)
      return false;
  }
}

int ChatClient::Send(std::uint32_t type,
                     const std::vector<std::uint8_t>& payload, bool compress) {
  if (!socket_.valid()) return kParamErr;
  std::vector<std::uint8_t> frame;
  wire::FrameMessage(wire::kChatMagic, type, payload.data(),
                         payload.size(), compress, &frame);
  return SendScrambled(std::move(frame));
}

int ChatClient::SendRawPlain(const std::vector<std::uint8_t>& bytes) {
  if (!socket_.valid() || bytes.size() % net::kBlockSize != 0) return kParamErr;
  return SendScrambled(bytes);
}

int ChatClient::SendRawWire(const std::vector<std::uint8_t>& bytes) {
  if (!socket_.valid()) return kParamErr;
  return WriteAll(bytes.data(), bytes.size());
}

int ChatClient::SendScrambled(std::vector<std::uint8_t> plain) {
  std::vector<std::uint8_t> wire;
  wire.reserve(plain.size() + 1);
  if (!scrambler_.started()) {
    scrambler_.Start(send_seed_);
    wire.push_back(send_seed_);
  }
  std::size_t first_block = wire.size();
  wire.insert(wire.end(), plain.begin(), plain.end());
  for (std::size_t i = first_block; i < wire.size(); i += net::kBlockSize) {
    scrambler_.ScrambleBlock(wire.data() + i);
  }
  return WriteAll(wire.data(), wire.size());
}

int ChatClient::WriteAll(const std::uint8_t* bytes, std::size_t count) {
  Clock::time_point deadline = Clock::now() + options_.send_timeout;
  std::size_t sent = 0;
  while (sent < count) {
    int error = 0;
    long n = platform::Send(socket_.fd(), bytes + sent, count - sent, &error);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && !platform::IsWouldBlock(error)) {
      // Keep what the server said before the link broke (a "Kill", say).
      ReadAvailable(0);
      EndConnection(error);
      return error;
    }
    int left = RemainingMs(deadline);
    if (left == 0 || !WaitReady(platform::kWritable, left)) {
      // Part of a message may have gone out; the link is out of step and
      // nothing sensible can follow on it.
      EndConnection(kTimedOut);
      return kTimedOut;
    }
  }
  return kOk;
}

void ChatClient::ReadAvailable(int timeout_ms) {
  if (!socket_.valid() || !WaitReady(platform::kReadable, timeout_ms)) return;
  std::uint8_t buffer[kReadChunk];
  for (int i = 0; i < kMaxReadsPerWake && socket_.valid(); ++i) {
    int error = 0;
    long n = platform::Receive(socket_.fd(), buffer, sizeof buffer, &error);
    if (n > 0) {
      TakeWireBytes(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      EndConnection(0);
    } else {
      if (!platform::IsWouldBlock(error)) EndConnection(error);
      return;
    }
  }
}

void ChatClient::TakeWireBytes(const std::uint8_t* bytes, std::size_t count) {
  if (!descrambler_.started()) {
    // The server's first byte is the seed of its direction.
    descrambler_.Start(bytes[0]);
    ++bytes;
    --count;
  }
  wire_.insert(wire_.end(), bytes, bytes + count);
  std::size_t whole = wire_.size() - wire_.size() % net::kBlockSize;
  if (whole == 0) return;
  for (std::size_t i = 0; i < whole; i += net::kBlockSize) {
    descrambler_.DescrambleBlock(wire_.data() + i);
  }
  auto end = wire_.begin() + static_cast<std::ptrdiff_t>(whole);
  plain_.insert(plain_.end(), wire_.begin(), end);
  wire_.erase(wire_.begin(), end);
  ParsePlain();
}

void ChatClient::ParsePlain() {
  QueueingReceiver receiver(&ready_);
  wire::ParseOutcome outcome = wire::ParseMessages(
      plain_.data(), plain_.size(), wire::kChatMagic, receiver);
  switch (outcome.error) {
    case wire::ParseError::kNone:
      plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(
                                                        outcome.consumed));
      return;
    case wire::ParseError::kBadData:
      // Once framing is lost nothing later on the link can be trusted.
      EndConnection(kFailed);
      return;
    case wire::ParseError::kNoMemory:
      EndConnection(kNoMemory);
      return;
  }
}

bool ChatClient::NextBefore(Clock::time_point deadline, bool* read_once,
                            Message* out) {
  for (;;) {
    if (!ready_.empty()) {
      *out = std::move(ready_.front());
      ready_.pop_front();
      return true;
    }
    if (!socket_.valid()) return false;
    int left = RemainingMs(deadline);
    // A zero wait still reads once; after that a passed deadline ends the
    // wait even while messages keep arriving.
    if (left == 0 && *read_once) return false;
    *read_once = true;
    ReadAvailable(left);
  }
}

bool ChatClient::Receive(Message* out, std::chrono::milliseconds timeout) {
  bool read_once = false;
  return NextBefore(Clock::now() + timeout, &read_once, out);
}

bool ChatClient::WaitFor(std::uint32_t type, Message* out,
                         std::chrono::milliseconds timeout,
                         std::vector<Message>* skipped) {
  Clock::time_point deadline = Clock::now() + timeout;
  bool read_once = false;
  Message message;
  while (NextBefore(deadline, &read_once, &message)) {
    if (message.type == type) {
      *out = std::move(message);
      return true;
    }
    if (skipped) skipped->push_back(std::move(message));
  }
  return false;
}

std::vector<Message> ChatClient::ReceiveAll(std::chrono::milliseconds quiet,
                                            std::chrono::milliseconds limit) {
  Clock::time_point end = Clock::now() + limit;
  bool read_once = false;
  std::vector<Message> all;
  Message message;
  while (
      NextBefore(std::min(Clock::now() + quiet, end), &read_once, &message)) {
    all.push_back(std::move(message));
  }
  return all;
}

int ChatClient::SignOn(const Ident& ident, std::chrono::milliseconds timeout,
                       SignOnResult* out) {
  Clock::time_point deadline = Clock::now() + timeout;
  out->messages.clear();
  out->user_id = 0;
  if (int rc = SendIdent(ident); rc != kOk) return rc;
  bool read_once = false;
  Message message;
  while (NextBefore(deadline, &read_once, &message)) {
    if (message.type == kYouAre && !DecodeU32(message.payload, &out->user_id))
      out->user_id = 0;
    bool last = message.type == kServerCaps;
    out->messages.push_back(std::move(message));
    if (last) return kOk;
  }
  return closed_ ? kFailed : kTimedOut;
}

int ChatClient::SendIdent(const Ident& ident) {
  return Send(kIdent, EncodeIdent(ident));
}

int ChatClient::SendTalk(std::string_view text) {
  return Send(kTalk, EncodeText(text));
}

int ChatClient::SendWhisper(const std::vector<std::uint32_t>& targets,
                            std::string_view text) {
  return Send(kWhisper, EncodeWhisper(targets, text));
}

int ChatClient::SendRoomMessage(std::string_view text) {
  return Send(kRoomMessage, EncodeText(text));
}

int ChatClient::SendMove(std::int16_t x, std::int16_t y) {
  return Send(kUserMove, EncodeMove(x, y));
}

int ChatClient::SendMove3D(const std::array<float, 12>& pose) {
  return Send(kUserMove3D, EncodeMove3D(pose));
}

int ChatClient::SendFace(std::uint16_t face) {
  return Send(kFace, EncodeFace(face));
}

int ChatClient::SendColour(std::uint32_t colour) {
  return Send(kColour, EncodeColour(colour));
}

int ChatClient::SendFaceImage(std::string_view name) {
  return Send(kFaceImage, EncodeZString(name));
}

int ChatClient::SendBadge() { return SendEmpty(kBadge); }

int ChatClient::SendVoice(std::int16_t voice) {
  return Send(kVoice, EncodeVoice(voice));
}

int ChatClient::SendName(std::string_view name) {
  return Send(kName, EncodeZString(name));
}

int ChatClient::SendData(std::string_view tag, bool global,
                         const std::vector<std::uint32_t>& targets,
                         const std::vector<std::uint8_t>& bytes,
                         bool compress) {
  return Send(kData, EncodeData(tag, global, targets, bytes), compress);
}

int ChatClient::SendRoomRequest(std::int16_t room) {
  return Send(kRoomRequest, EncodeRoomRequest(room));
}

int ChatClient::SendRoomListRequest() { return SendEmpty(kRoomList); }

int ChatClient::SendRoomListStop() { return SendEmpty(kRoomListStop); }

int ChatClient::SendRoomNameRequest(std::uint16_t room) {
  return Send(kRoomName, EncodeRoomNameRequest(room));
}

int ChatClient::SendRoomInfoRequest() { return SendEmpty(kRoomEditInfo); }

int ChatClient::SendFreeRoomIdRequest() { return SendEmpty(kFreeRoomId); }

int ChatClient::SendRoomRecord(std::uint32_t type,
                               const RoomRecordFields& room) {
  if (type != kCreateRoom && type != kUpdateRoom) return kParamErr;
  return Send(type, EncodeRoomRecord(room));
}

int ChatClient::SendUserListRequest() { return SendEmpty(kUserList); }

int ChatClient::SendUserListStop() { return SendEmpty(kUserListStop); }

int ChatClient::SendAuth(std::string_view name, std::string_view password) {
  return Send(kAuth, EncodeAuth(name, password));
}

int ChatClient::SendGroupList(const std::vector<Group>& groups) {
  return Send(kGroupList, EncodeGroupList(groups));
}

int ChatClient::SendAccountList(const std::vector<Account>& accounts) {
  return Send(kAccountList, EncodeAccountList(accounts));
}

int ChatClient::SendEmpty(std::uint32_t type) { return Send(type, {}); }

}  // namespace zanth::client
