// The chat client against an in-process scrambled peer on loopback: the
// connection manager on one side, ChatClient on the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/chat_client.h"
#include "client/encode.h"
#include "core/result.h"
#include "net/connection_manager.h"
#include "support/server_process.h"
#include "wire/framing.h"

namespace zanth::client {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Frame(std::uint32_t type,
                                const std::vector<std::uint8_t>& payload,
                                bool compress = false) {
  std::vector<std::uint8_t> out;
  wire::FrameMessage(wire::kChatMagic, type, payload.data(),
                         payload.size(), compress, &out);
  return out;
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned step) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * step) % 251);
  return bytes;
}

// A received uncompressed payload is the sent one plus under 16 zero bytes.
void ExpectPayload(const Message& got, const std::vector<std::uint8_t>& want) {
  ASSERT_GE(got.payload.size(), want.size());
  EXPECT_LT(got.payload.size() - want.size(), 16u);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), got.payload.begin()));
  for (std::size_t i = want.size(); i < got.payload.size(); ++i)
    EXPECT_EQ(0, got.payload[i]);
}

class RecordingHandler : public net::ConnectionHandler {
 public:
  int OnAccept(net::Connection& c) override {
    accepted.push_back(&c);
    return kOk;
  }
  void OnLost(net::Connection&) override {}
  std::vector<net::Connection*> accepted;
};

class ChatClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A port picked as free can be taken before the bind: try a few.
    int rc = -1;
    for (int attempt = 0; attempt < 5 && rc != kOk; ++attempt) {
      port_ = testing::PickFreePort();
      rc = manager_.ListenOn("127.0.0.1", port_, &handler_, /*scrambled=*/true);
    }
    ASSERT_EQ(kOk, rc);
  }

  template <typename Pred>
  bool PollUntil(Pred pred, int max_passes = 400) {
    for (int i = 0; i < max_passes && !pred(); ++i) manager_.Poll(5);
    return pred();
  }

  // Connects client and returns the server side of its connection.
  net::Connection* Connect(ChatClient& client, const std::string& bind = "") {
    std::size_t before = handler_.accepted.size();
    EXPECT_EQ(
        kOk, client.Connect("127.0.0.1", port_, bind, std::chrono::seconds(5)));
    if (!PollUntil([&] { return handler_.accepted.size() > before; }))
      return nullptr;
    return handler_.accepted.back();
  }

  // Waits until the server holds count plain bytes and takes them.
  std::vector<std::uint8_t> TakeServerInput(net::Connection* c,
                                            std::size_t count) {
    EXPECT_TRUE(PollUntil([&] { return c->ReadyCount() >= count; }));
    std::vector<std::uint8_t> got(c->ReadyCount());
    got.resize(c->TakeInput(got.data(), got.size()));
    return got;
  }

  void QueueAndFlush(net::Connection* c,
                     const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(kOk, c->QueueSend(bytes.data(), bytes.size()));
    ASSERT_TRUE(PollUntil([&] { return c->queued() == 0; }));
  }

  net::ConnectionManager manager_;
  RecordingHandler handler_;
  std::uint16_t port_ = 0;
};

TEST_F(ChatClientTest, ServerReadsTheExactPlainBytesOfEachSend) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(kOk, client.SendTalk("hello, room"));
  std::vector<std::uint8_t> raw = Pattern(32, 7);
  ASSERT_EQ(kOk, client.SendRawPlain(raw));
  ASSERT_EQ(kOk, client.SendWhisper({5, 6}, "psst"));

  std::vector<std::uint8_t> want = Frame(kTalk, EncodeText("hello, room"));
  want.insert(want.end(), raw.begin(), raw.end());
  std::vector<std::uint8_t> whisper =
      Frame(kWhisper, EncodeWhisper({5, 6}, "psst"));
  want.insert(want.end(), whisper.begin(), whisper.end());
  EXPECT_EQ(want, TakeServerInput(c, want.size()));

  EXPECT_EQ(kParamErr, client.SendRawPlain(Pattern(15, 1)));
}

TEST_F(ChatClientTest, ReconnectStartsFreshLinksInBothDirections) {
  ChatClient client;
  net::Connection* first = Connect(client);
  ASSERT_NE(nullptr, first);
  ASSERT_EQ(kOk, client.SendTalk("first link"));
  QueueAndFlush(first, Frame(kPing, {}));
  Message m;
  ASSERT_TRUE(client.Receive(&m, milliseconds(2000)));

  net::Connection* second = Connect(client);
  ASSERT_NE(nullptr, second);
  ASSERT_EQ(kOk, client.SendTalk("second link"));
  std::vector<std::uint8_t> want = Frame(kTalk, EncodeText("second link"));
  EXPECT_EQ(want, TakeServerInput(second, want.size()));
  QueueAndFlush(second, Frame(kUserCount, {0, 2}));
  ASSERT_TRUE(client.Receive(&m, milliseconds(2000)));
  EXPECT_EQ(kUserCount, m.type);
}

TEST_F(ChatClientTest, ChosenSeedLeadsTheWireAndRawWireBytesPassUntouched) {
  platform::Socket listener;
  std::uint16_t port = 0;
  int rc = -1;
  for (int attempt = 0; attempt < 5 && rc != 0; ++attempt) {
    port = testing::PickFreePort();
    rc = platform::Listen(0, port, &listener);
  }
  ASSERT_EQ(0, rc);
  ChatClientOptions options;
  options.send_seed = 77;
  ChatClient client(options);
  ASSERT_EQ(kOk, client.Connect("127.0.0.1", port));
  platform::Socket peer;
  for (int i = 0; i < 200 && platform::Accept(listener, &peer) != 0; ++i) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_TRUE(peer.valid());
  ASSERT_EQ(kOk, client.SendFace(3));
  const std::vector<std::uint8_t> tail = {0xDE, 0xAD, 0xBE};
  ASSERT_EQ(kOk, client.SendRawWire(tail));

  // The seed, one scrambled block, then the raw bytes as they were given.
  std::vector<std::uint8_t> wire(64);
  std::size_t used = 0;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (used < 20 && Clock::now() < deadline) {
    int error = 0;
    long n =
        platform::Receive(peer.fd(), &wire[used], wire.size() - used, &error);
    if (n > 0) used += static_cast<std::size_t>(n);
    if (n <= 0) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_EQ(20u, used);
  EXPECT_EQ(77, wire[0]);
  net::LinkDescrambler descrambler;
  descrambler.Start(77);
  descrambler.DescrambleBlock(&wire[1]);
  EXPECT_EQ(Frame(kFace, EncodeFace(3)),
            std::vector<std::uint8_t>(wire.begin() + 1, wire.begin() + 17));
  EXPECT_EQ(tail,
            std::vector<std::uint8_t>(wire.begin() + 17, wire.begin() + 20));
}

TEST_F(ChatClientTest, MessagesCutAcrossReadsAtAnyByteArriveWholeAndInOrder) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  // Plain messages of many sizes around one compressed one. The server sends
  // at most 1024 bytes per pass and its seed byte shifts every later cut off
  // the block grid, so reads end mid-block and mid-message.
  std::vector<Message> sent;
  std::vector<std::uint8_t> all;
  for (unsigned i = 0; i < 12; ++i) {
    bool compress = i == 6;
    sent.push_back({compress ? kData : kListLine,
                    Pattern(compress ? 3000 : i * 61 % 700, i + 3), compress});
    std::vector<std::uint8_t> f =
        Frame(sent[i].type, sent[i].payload, compress);
    all.insert(all.end(), f.begin(), f.end());
  }
  ASSERT_GT(all.size(), 3000u);
  ASSERT_EQ(kOk, c->QueueSend(all.data(), all.size()));
  std::vector<Message> got;
  for (int pass = 0; pass < 400 && got.size() < sent.size(); ++pass) {
    manager_.Poll(5);
    Message m;
    while (client.Receive(&m, milliseconds(0))) got.push_back(m);
  }
  ASSERT_EQ(sent.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sent[i].type, got[i].type);
    EXPECT_EQ(sent[i].compressed, got[i].compressed);
    ExpectPayload(got[i], sent[i].payload);
  }
  // An inflated payload has no padding.
  EXPECT_EQ(sent[6], got[6]);
}

TEST_F(ChatClientTest, HalfAMessageWaitsAndReceiveTimesOutWithinItsBound) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  std::vector<std::uint8_t> payload = Pattern(30, 5);
  std::vector<std::uint8_t> frame = Frame(kRoomDescription, payload);
  ASSERT_EQ(48u, frame.size());
  QueueAndFlush(c,
                std::vector<std::uint8_t>(frame.begin(), frame.begin() + 32));

  Message m;
  auto start = Clock::now();
  EXPECT_FALSE(client.Receive(&m, milliseconds(150)));
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(140));
  EXPECT_LT(waited, milliseconds(3000));
  EXPECT_FALSE(client.closed());

  QueueAndFlush(c, std::vector<std::uint8_t>(frame.begin() + 32, frame.end()));
  ASSERT_TRUE(client.Receive(&m, milliseconds(2000)));
  ExpectPayload(m, payload);
}

TEST_F(ChatClientTest, PeerCloseIsReportedAfterTheMessagesSentBeforeIt) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  QueueAndFlush(c, Frame(kKill, {0, 2}));
  manager_.RemoveConnection(c);

  Message m;
  ASSERT_TRUE(client.Receive(&m, milliseconds(2000)));
  EXPECT_EQ(kKill, m.type);
  auto start = Clock::now();
  EXPECT_FALSE(client.Receive(&m, milliseconds(5000)));
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
  EXPECT_TRUE(client.closed());
  EXPECT_EQ(0, client.last_error());
  EXPECT_EQ(kParamErr, client.SendTalk("anyone?"));
}

TEST_F(ChatClientTest, BadFramingFromTheServerEndsTheConnection) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  std::vector<std::uint8_t> good = Frame(kPing, {});
  std::vector<std::uint8_t> garbage(16, 0x41);
  good.insert(good.end(), garbage.begin(), garbage.end());
  QueueAndFlush(c, good);
  // Framing is checked per read, so the message ahead of the garbage may or
  // may not get out first; the connection ends either way.
  Message m;
  for (int i = 0; i < 2 && client.Receive(&m, milliseconds(2000)); ++i)
    EXPECT_EQ(kPing, m.type);
  EXPECT_TRUE(client.closed());
  EXPECT_EQ(kFailed, client.last_error());
}

TEST_F(ChatClientTest, ChosenSourceAddressIsThePeerAddressOnTheServer) {
  ChatClient client;
  net::Connection* c = Connect(client, "127.1.0.5");
  ASSERT_NE(nullptr, c);
  EXPECT_EQ("127.1.0.5", c->peer_address());
  EXPECT_NE(0, client.local_port());

  ChatClient other;
  EXPECT_EQ(kParamErr, other.Connect("127.0.0.1", port_, "127.1.0"));
  EXPECT_FALSE(other.connected());
  std::uint16_t unused = testing::PickFreePort();
  EXPECT_GT(other.Connect("127.0.0.1", unused), 0);  // refused: a system error
}

TEST_F(ChatClientTest, ConnectsStartedTogetherFinishThroughOnePoll) {
  constexpr int kClients = 6;
  std::vector<ChatClient> clients(kClients);
  platform::Poller poller;
  ASSERT_TRUE(poller.valid());
  for (int i = 0; i < kClients; ++i) {
    ChatClient& client = clients[static_cast<std::size_t>(i)];
    ASSERT_EQ(kOk, client.StartConnect("127.0.0.1", port_,
                                       "127.1.1." + std::to_string(i + 1)));
    ASSERT_GE(client.fd(), 0);
    ASSERT_EQ(0, poller.Add(client.fd(), platform::kWritable, &client));
  }
  // One poll over every socket finishes them; no client waits on its own.
  int finished = 0;
  std::vector<platform::Poller::Event> events;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (finished < kClients && Clock::now() < deadline) {
    manager_.Poll(0);
    int error = 0;
    int n = poller.Wait(5, &events, &error);
    for (int e = 0; e < n; ++e) {
      auto* client =
          static_cast<ChatClient*>(events[static_cast<std::size_t>(e)].token);
      int rc = client->FinishConnect();
      if (rc == EINPROGRESS) continue;
      ASSERT_EQ(kOk, rc);
      ASSERT_EQ(0, poller.Remove(client->fd()));
      ++finished;
    }
  }
  ASSERT_EQ(kClients, finished);
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() >= kClients; }));
  // Each link works, and each came from its own address.
  for (int i = 0; i < kClients; ++i) {
    ASSERT_EQ(kOk, clients[static_cast<std::size_t>(i)].SendFace(
                       static_cast<std::uint16_t>(i)));
  }
  for (net::Connection* c : handler_.accepted) {
    std::vector<std::uint8_t> got = TakeServerInput(c, 16);
    const std::string& peer = c->peer_address();
    int index = std::stoi(peer.substr(peer.rfind('.') + 1)) - 1;
    EXPECT_EQ(Frame(kFace, EncodeFace(static_cast<std::uint16_t>(index))), got)
        << peer;
  }

  // A refused connect ends with its error and no socket; one that is done
  // stays done.
  ChatClient refused;
  ASSERT_EQ(kOk, refused.StartConnect("127.0.0.1", testing::PickFreePort()));
  int rc = EINPROGRESS;
  for (int i = 0; i < 500 && rc == EINPROGRESS; ++i) {
    rc = refused.FinishConnect();
    if (rc == EINPROGRESS) std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(ECONNREFUSED, rc);
  EXPECT_EQ(-1, refused.fd());
  EXPECT_EQ(kParamErr, refused.FinishConnect());
  EXPECT_EQ(kOk, clients[0].FinishConnect());
}

TEST_F(ChatClientTest, SignOnCollectsThroughServerCapsAndLeavesTheRest) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  std::vector<std::uint8_t> queued;
  for (const auto& f :
       {Frame(kRoomDescription, {'h', 0}), Frame(kYouAre, {0, 0, 1, 44}),
        Frame(kPermissions, {0, 0, 1, 3}), Frame(kServerCaps, {0, 1}),
        Frame(kTalk, {0, 0, 0, 0, 1, '!'})}) {
    queued.insert(queued.end(), f.begin(), f.end());
  }
  QueueAndFlush(c, queued);

  Ident ident;
  ident.nickname = "Ann";
  SignOnResult result;
  ASSERT_EQ(kOk, client.SignOn(ident, milliseconds(2000), &result));
  EXPECT_EQ(300u, result.user_id);
  ASSERT_EQ(4u, result.messages.size());
  EXPECT_EQ(kRoomDescription, result.messages[0].type);
  EXPECT_EQ(kServerCaps, result.messages[3].type);

  std::vector<std::uint8_t> want = Frame(kIdent, EncodeIdent(ident));
  EXPECT_EQ(want, TakeServerInput(c, want.size()));

  Message m;
  ASSERT_TRUE(client.Receive(&m, milliseconds(1000)));
  EXPECT_EQ(kTalk, m.type);
  // Nothing more comes: a second sign-on times out within its bound.
  EXPECT_EQ(static_cast<int>(std::errc::timed_out),
            client.SignOn(ident, milliseconds(100), &result));
}

TEST_F(ChatClientTest, WaitForSkipsOtherTypesAndReceiveAllStopsWhenQuiet) {
  ChatClient client;
  net::Connection* c = Connect(client);
  ASSERT_NE(nullptr, c);
  std::vector<std::uint8_t> queued;
  for (std::uint32_t type : {kTalk, kUserMove, kBadge, kFace, kVoice}) {
    std::vector<std::uint8_t> f = Frame(type, {0, 0, 0, 1});
    queued.insert(queued.end(), f.begin(), f.end());
  }
  QueueAndFlush(c, queued);

  Message m;
  std::vector<Message> skipped;
  ASSERT_TRUE(client.WaitFor(kBadge, &m, milliseconds(2000), &skipped));
  ASSERT_EQ(2u, skipped.size());
  EXPECT_EQ(kTalk, skipped[0].type);
  EXPECT_EQ(kUserMove, skipped[1].type);
  EXPECT_FALSE(
      client.WaitFor(kColour, &m, milliseconds(100)));  // drops FNum, Voic

  QueueAndFlush(c, queued);
  std::vector<Message> all = client.ReceiveAll(milliseconds(100));
  ASSERT_EQ(5u, all.size());
  EXPECT_EQ(kVoice, all[4].type);
}

}  // namespace
}  // namespace zanth::client
