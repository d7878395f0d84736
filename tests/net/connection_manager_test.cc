// The connection manager over real loopback sockets, in process.
#include "net/connection_manager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "core/result.h"
#include "support/server_process.h"

namespace zanth::net {
namespace {

using testing::ConnectLoopback;
using testing::PickFreePort;

// Records what the manager tells a listener's owner.
class RecordingHandler : public ConnectionHandler {
 public:
  int OnAccept(Connection& c) override {
    accepted.push_back(&c);
    bytes_seen_at_accept += c.in_count();
    return accept_result;
  }
  void OnLost(Connection& c) override { lost.push_back(&c); }
  void OnRemoved(Connection& c) override { removed.push_back(&c); }

  std::vector<Connection*> accepted, lost, removed;
  std::size_t bytes_seen_at_accept = 0;
  int accept_result = kOk;
};

class ConnectionManagerTest : public ::testing::Test {
 protected:
  // Listens on a free port; a port picked as free can be taken before the
  // bind, so a few picks are tried.
  void Listen(bool scrambled, ConnectionHandler* handler = nullptr) {
    int rc = -1;
    for (int attempt = 0; attempt < 5 && rc != kOk; ++attempt) {
      port_ = PickFreePort();
      rc = manager_.ListenOn("127.0.0.1", port_, handler ? handler : &handler_, scrambled);
    }
    ASSERT_EQ(kOk, rc);
    EXPECT_EQ(port_, manager_.last_listen_port());
  }

  // Polls until pred holds, at most a bounded number of passes.
  template <typename Pred>
  bool PollUntil(Pred pred, int max_passes = 400) {
    for (int i = 0; i < max_passes && !pred(); ++i) manager_.Poll(5);
    return pred();
  }

  int ConnectClient() {
    int fd = ConnectLoopback(port_);
    EXPECT_GE(fd, 0);
    clients_.push_back(fd);
    return fd;
  }

  void TearDown() override {
    for (int fd : clients_) close(fd);
  }

  std::size_t ReadAvailable(int fd, std::vector<std::uint8_t>* out, std::size_t want) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out->size() < want && std::chrono::steady_clock::now() < deadline) {
      std::uint8_t buffer[4096];
      ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        out->insert(out->end(), buffer, buffer + n);
      } else {
        manager_.Poll(1);
      }
    }
    return out->size();
  }

  ConnectionManager manager_;
  RecordingHandler handler_;
  std::uint16_t port_ = 0;
  std::vector<int> clients_;
};

TEST_F(ConnectionManagerTest, TenSimultaneousConnectsAreAllAcceptedBeforeAnyRead) {
  Listen(false);
  for (int i = 0; i < 10; ++i) {
    int fd = ConnectClient();
    ASSERT_EQ(4, send(fd, "ping", 4, 0));
  }
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 10; }));
  // Accept routines ran before any byte was read from any of them.
  EXPECT_EQ(0u, handler_.bytes_seen_at_accept);
  EXPECT_EQ(10u, manager_.connection_count());
  ASSERT_TRUE(PollUntil([&] {
    for (const Connection& c : manager_.connections()) {
      if (c.ReadyCount() != 4) return false;
    }
    return true;
  }));
}

// A pass sends each connection what its socket takes, from the queued
// blocks, but no connection more than kMaxSendPerPass: one with megabytes
// queued cannot hold up the others, and each stream arrives whole.
TEST_F(ConnectionManagerTest, APassSendsWhatTheSocketTakesWithinTheFairnessBound) {
  Listen(false);
  int big_fd = ConnectClient();
  int small_fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 2; }));
  // Accept routines run newest first.
  Connection* big = handler_.accepted[1];
  Connection* small = handler_.accepted[0];
  std::vector<std::uint8_t> large(3 * kMaxSendPerPass + 777);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + i / 509);
  std::vector<std::uint8_t> little(3000);
  for (std::size_t i = 0; i < little.size(); ++i) little[i] = static_cast<std::uint8_t>(i * 3);
  // Queued in pieces, so that a send gathers many blocks.
  for (std::size_t at = 0; at < large.size(); at += 4000) {
    ASSERT_EQ(kOk, big->QueueSend(large.data() + at, std::min<std::size_t>(4000, large.size() - at)));
  }
  ASSERT_EQ(kOk, small->QueueSend(little.data(), little.size()));
  manager_.Poll(0);
  EXPECT_EQ(0u, small->queued());  // all of it in one pass
  std::size_t sent = large.size() - big->queued();
  EXPECT_GT(sent, kInputBufferSize);  // far more than one small send
  EXPECT_LE(sent, kMaxSendPerPass);
  std::size_t before = big->queued();
  manager_.Poll(0);
  EXPECT_LE(before - big->queued(), kMaxSendPerPass);
  std::vector<std::uint8_t> received;
  ASSERT_EQ(little.size(), ReadAvailable(small_fd, &received, little.size()));
  EXPECT_EQ(little, received);
  received.clear();
  ASSERT_EQ(large.size(), ReadAvailable(big_fd, &received, large.size()));
  EXPECT_EQ(large, received);
  EXPECT_EQ(0u, big->queued());
}

TEST_F(ConnectionManagerTest, MessagesQueuedAcrossGrowingBlocksAndPartSendsArriveInOrder) {
  Listen(false);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];
  // Sizes that fill small first blocks exactly, miss them by one, exceed
  // the largest block, and arrive while the head block is half sent.
  const std::vector<std::size_t> sizes = {1,   511, 1,    512, 513,   1023, 2048, 4095,
                                          100, 1,   8191, 16,  20000, 3,    700,  16384};
  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> received;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t size : sizes) {
      std::vector<std::uint8_t> message(size);
      for (std::size_t i = 0; i < size; ++i)
        message[i] = static_cast<std::uint8_t>((sent.size() + i) * 31 + round);
      ASSERT_EQ(kOk, c->QueueSend(message.data(), message.size()));
      sent.insert(sent.end(), message.begin(), message.end());
      if (size % 2 == 1) manager_.Poll(0);  // sends what the socket takes
    }
    ASSERT_EQ(sent.size(), ReadAvailable(fd, &received, sent.size()));
    EXPECT_EQ(0u, c->queued());
  }
  EXPECT_EQ(sent, received);
}

TEST_F(ConnectionManagerTest, SendsBeyondThePassBudgetWaitAndNewlyFilledQueuesGoFirst) {
  Listen(false);
  manager_.set_sends_per_pass(4);
  std::vector<int> fds;
  for (int i = 0; i < 10; ++i) fds.push_back(ConnectClient());
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 10; }));
  // Accept routines run newest first: cs[i] is the server end of fds[i].
  std::vector<Connection*> cs(handler_.accepted.rbegin(), handler_.accepted.rend());
  const std::uint8_t first[3] = {1, 2, 3};
  for (Connection* c : cs) ASSERT_EQ(kOk, c->QueueSend(first, sizeof first));
  auto drained = [&] {
    std::size_t n = 0;
    for (Connection* c : cs) n += c->queued() == 0 ? 1 : 0;
    return n;
  };
  manager_.Poll(0);
  EXPECT_EQ(4u, drained());  // the budget, in the order the queues filled
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0u, cs[static_cast<std::size_t>(i)]->queued());

  // A quiet connection that is sent something now goes ahead of the six
  // still waiting; the backlog keeps the rest of the budget.
  const std::uint8_t second[2] = {9, 9};
  ASSERT_EQ(kOk, cs[0]->QueueSend(second, sizeof second));
  manager_.Poll(0);
  EXPECT_EQ(0u, cs[0]->queued());
  EXPECT_EQ(7u, drained());
  manager_.Poll(0);
  manager_.Poll(0);
  EXPECT_EQ(10u, drained());

  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> want(first, first + 3);
    if (i == 0) want.insert(want.end(), second, second + 2);
    ASSERT_EQ(want.size(), ReadAvailable(fds[i], &got, want.size()));
    EXPECT_EQ(want, got) << "client " << i;
  }
}

TEST_F(ConnectionManagerTest, QueueToAPeerThatStopsReadingArrivesWholeOnceItReads) {
  Listen(false);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];
  // Far more than the socket buffers hold, even as the system grows them:
  // sends are refused part-way and the connection must wait for the poller
  // to say there is room again.
  std::vector<std::uint8_t> data(16 * 1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
  ASSERT_EQ(kOk, c->QueueSend(data.data(), data.size()));
  for (int i = 0; i < 600; ++i) manager_.Poll(0);
  EXPECT_GT(c->queued(), 0u);
  std::vector<std::uint8_t> received;
  ASSERT_EQ(data.size(), ReadAvailable(fd, &received, data.size()));
  EXPECT_EQ(data, received);
  EXPECT_EQ(0u, c->queued());
}

// Received bytes are descrambled where they land, whatever the cuts
// between packets, and are taken out in any amounts: a partial block
// waits for its rest, a burst larger than the buffer grows it, and nothing
// is held once all is taken.
TEST_F(ConnectionManagerTest, ScrambledStreamCutAnywhereArrivesWhole) {
  Listen(true);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];

  std::vector<std::uint8_t> plain(5 * kInputBufferSize);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 11 + i / 97);
  std::vector<std::uint8_t> wire(1 + plain.size());
  wire[0] = 200;  // the client's seed
  LinkScrambler scrambler;
  scrambler.Start(200);
  std::memcpy(wire.data() + 1, plain.data(), plain.size());
  for (std::size_t i = 1; i < wire.size(); i += kBlockSize) scrambler.ScrambleBlock(&wire[i]);

  // Seed plus 19 bytes: one block ready, three bytes waiting.
  ASSERT_EQ(20, send(fd, wire.data(), 20, 0));
  ASSERT_TRUE(PollUntil([&] { return c->in_count() == 19; }));
  EXPECT_EQ(16u, c->ReadyCount());
  std::vector<std::uint8_t> got(c->InputData(), c->InputData() + 5);
  c->ConsumeInput(5);
  // The rest in pieces of 1 to 37 bytes, then in one burst of three
  // buffers' worth; taken in odd amounts meanwhile.
  std::size_t at = 20;
  for (std::size_t piece = 1; at < 2 * kInputBufferSize; piece = piece % 37 + 1) {
    ASSERT_EQ(static_cast<ssize_t>(piece), send(fd, &wire[at], piece, 0));
    at += piece;
    manager_.Poll(0);
    std::size_t take = std::min<std::size_t>(c->ReadyCount(), piece * 3);
    got.insert(got.end(), c->InputData(), c->InputData() + take);
    c->ConsumeInput(take);
  }
  ASSERT_EQ(static_cast<ssize_t>(wire.size() - at), send(fd, &wire[at], wire.size() - at, 0));
  ASSERT_TRUE(PollUntil([&] { return got.size() + c->ReadyCount() == plain.size(); }));
  std::vector<std::uint8_t> rest(c->ReadyCount());
  EXPECT_EQ(rest.size(), c->TakeInput(rest.data(), rest.size() + 100));
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(plain, got);
  EXPECT_EQ(0u, c->in_count());
  EXPECT_EQ(0u, c->input_capacity());
}

TEST_F(ConnectionManagerTest, ScrambledSendStartsWithSeedAndDescrambles) {
  Listen(true);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];
  std::uint8_t plain[48];
  for (int i = 0; i < 48; ++i) plain[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(kOk, c->QueueSend(plain, 32));
  ASSERT_EQ(kOk, c->QueueSend(plain + 32, 16));
  EXPECT_EQ(49u, c->queued());
  std::vector<std::uint8_t> wire;
  ASSERT_EQ(49u, ReadAvailable(fd, &wire, 49));
  LinkDescrambler descrambler;
  descrambler.Start(wire[0]);
  for (int b = 0; b < 3; ++b) descrambler.DescrambleBlock(&wire[1 + 16 * b]);
  EXPECT_EQ(0, std::memcmp(wire.data() + 1, plain, 48));
}

TEST_F(ConnectionManagerTest, OrderlyCloseAndResetCallTheLostRoutine) {
  Listen(false);
  int a = ConnectClient();
  int b = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 2; }));
  shutdown(a, SHUT_WR);
  linger reset{1, 0};
  setsockopt(b, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(b);
  clients_.pop_back();
  ASSERT_TRUE(PollUntil([&] { return handler_.lost.size() == 2; }));
  for (Connection* c : handler_.lost) EXPECT_TRUE(c->closing());
  // A closing connection queues nothing.
  std::uint8_t byte[16] = {};
  EXPECT_EQ(kOk, handler_.lost[0]->QueueSend(byte, 16));
  EXPECT_EQ(0u, handler_.lost[0]->queued());
  for (Connection* c : handler_.lost) manager_.RemoveConnection(c);
  EXPECT_EQ(0u, manager_.connection_count());
}

TEST_F(ConnectionManagerTest, CloseWhenFlushedRemovesOnceQueueIsEmpty) {
  Listen(false);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];
  std::vector<std::uint8_t> data(2 * kMaxSendPerPass, 'x');
  ASSERT_EQ(kOk, c->QueueSend(data.data(), data.size()));
  c->CloseWhenFlushed();
  manager_.Poll(50);
  EXPECT_EQ(1u, manager_.connection_count());  // more than one pass's worth queued
  std::vector<std::uint8_t> received;
  EXPECT_EQ(data.size(), ReadAvailable(fd, &received, data.size()));
  ASSERT_TRUE(PollUntil([&] { return manager_.connection_count() == 0; }));
  EXPECT_EQ(1u, handler_.removed.size());
}

TEST_F(ConnectionManagerTest, CloseWhenFlushedWithEmptyQueueRemovesInNextPass) {
  Listen(false);
  ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  handler_.accepted[0]->CloseWhenFlushed();
  ASSERT_TRUE(PollUntil([&] { return manager_.connection_count() == 0; }, 5));
}

// A descriptor another process still holds (a child between its fork and
// its exec) keeps the socket open after the record's close: the poller must
// not report it any more, or a pass would touch the freed record.
TEST_F(ConnectionManagerTest, RemovedConnectionIsNotReportedWhileItsDescriptorLivesOn) {
  Listen(false);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  int held = dup(handler_.accepted[0]->fd());
  ASSERT_GE(held, 0);
  manager_.RemoveConnection(handler_.accepted[0]);
  EXPECT_EQ(0u, manager_.connection_count());
  // Bytes and the end of the stream for the removed socket.
  ASSERT_EQ(4, send(fd, "ping", 4, 0));
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 5; ++i) manager_.Poll(5);
  EXPECT_EQ(0u, manager_.connection_count());
  close(held);
}

TEST_F(ConnectionManagerTest, SecondRemovalInsideAPassDoesNothing) {
  // An owner told of a lost connection may remove it more than once (from
  // the lost routine and again from its own pass); the record stays valid
  // until the pass is over and the second removal changes nothing.
  class RemovingHandler : public RecordingHandler {
   public:
    explicit RemovingHandler(ConnectionManager* m) : manager(m) {}
    void OnLost(Connection& c) override {
      RecordingHandler::OnLost(c);
      manager->RemoveConnection(&c);
      manager->RemoveConnection(&c);
    }
    ConnectionManager* manager;
  } removing(&manager_);
  Listen(false, &removing);
  int a = ConnectClient();
  ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return removing.accepted.size() == 2; }));
  shutdown(a, SHUT_WR);
  ASSERT_TRUE(PollUntil([&] { return removing.lost.size() == 1; }));
  EXPECT_EQ(1u, manager_.connection_count());
  EXPECT_TRUE(manager_.connections().Verify());
}

TEST_F(ConnectionManagerTest, FailedAcceptRoutineClosesTheConnection) {
  Listen(false);
  handler_.accept_result = kNoMemory;
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  manager_.Poll(0);
  EXPECT_EQ(0u, manager_.connection_count());
  char byte;
  // The peer sees the close.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  ssize_t n = -1;
  while (std::chrono::steady_clock::now() < deadline) {
    n = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
  }
  EXPECT_LE(n, 0);
}

TEST_F(ConnectionManagerTest, FullInputBufferWaitsForItsOwner) {
  Listen(false);
  int fd = ConnectClient();
  ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
  Connection* c = handler_.accepted[0];
  std::vector<std::uint8_t> data(kInputLimit + 100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5 + i / 300);
  std::size_t sent = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sent < data.size() && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
    manager_.Poll(1);
  }
  ASSERT_EQ(data.size(), sent);
  ASSERT_TRUE(PollUntil([&] { return c->input_full(); }));
  std::size_t held = c->in_count();
  EXPECT_EQ(kInputLimit, held);
  for (int i = 0; i < 5; ++i) manager_.Poll(1);
  EXPECT_EQ(held, c->in_count());  // not read while nobody takes it
  std::vector<std::uint8_t> got(c->InputData(), c->InputData() + held);
  c->ConsumeInput(held);
  ASSERT_TRUE(PollUntil([&] {
    got.insert(got.end(), c->InputData(), c->InputData() + c->ReadyCount());
    c->ConsumeInput(c->ReadyCount());
    return got.size() == data.size();
  }));
  EXPECT_EQ(data, got);
  EXPECT_EQ(0u, c->input_capacity());
}

TEST_F(ConnectionManagerTest, OutgoingConnectionCompletesAndIsScrambled) {
  Listen(false);  // a plain listener stands in for the remote end
  class Outgoing : public ConnectionHandler {
   public:
    int OnAccept(Connection&) override { return kOk; }
    void OnLost(Connection&) override { ++lost; }
    void OnConnected(Connection&) override { ++connected; }
    int connected = 0, lost = 0;
  } outgoing;
  Connection* c = nullptr;
  ASSERT_EQ(kOk, manager_.ConnectTo("127.0.0.1:" + std::to_string(port_) + "/ignored",
                                    &outgoing, nullptr, &c));
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(c->scrambled());
  ASSERT_TRUE(PollUntil([&] { return outgoing.connected == 1 && handler_.accepted.size() == 1; }));
  std::uint8_t block[16] = {1, 2, 3};
  ASSERT_EQ(kOk, c->QueueSend(block, 16));
  Connection* far = handler_.accepted[0];
  ASSERT_TRUE(PollUntil([&] { return far->ReadyCount() == 17; }));
}

TEST_F(ConnectionManagerTest, RefusedOutgoingConnectionIsLost) {
  std::uint16_t closed_port = PickFreePort();
  class Outgoing : public ConnectionHandler {
   public:
    int OnAccept(Connection&) override { return kOk; }
    void OnLost(Connection&) override { ++lost; }
    void OnConnected(Connection&) override { ++connected; }
    int connected = 0, lost = 0;
  } outgoing;
  Connection* c = nullptr;
  int rc = manager_.ConnectTo("127.0.0.1:" + std::to_string(closed_port), &outgoing, nullptr, &c);
  if (rc == kOk) {
    ASSERT_TRUE(PollUntil([&] { return outgoing.lost == 1; }));
    EXPECT_EQ(0, outgoing.connected);
    manager_.RemoveConnection(c);
  } else {
    EXPECT_GT(rc, 0);  // refused at once
  }
  EXPECT_EQ(0u, manager_.connection_count());
}

TEST_F(ConnectionManagerTest, ListenOnUnknownHostFails) {
  EXPECT_NE(kOk, manager_.ListenOn("no-such-host.invalid", PickFreePort(), &handler_, false));
}

// A connection handed over to a WebSocket link, as the HTTP server does
// after a 101 answer: plain here, so that the stream bytes show as sent.
class WebSocketConnectionTest : public ConnectionManagerTest {
 protected:
  void SetUp() override {
    Listen(false);
    fd_ = ConnectClient();
    ASSERT_TRUE(PollUntil([&] { return handler_.accepted.size() == 1; }));
    c_ = handler_.accepted[0];
    manager_.HandOver(*c_, &chat_, false, std::make_unique<WebSocketLink>("REPLY"));
    ASSERT_TRUE(PollUntil([&] { return chat_.accepted.size() == 1; }));
    EXPECT_EQ(c_, chat_.accepted[0]);
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(5u, ReadAvailable(fd_, &reply, 5));
    EXPECT_EQ("REPLY", std::string(reply.begin(), reply.end()));
  }

  void SendMasked(std::uint8_t first_byte, const std::string& payload) {
    std::vector<std::uint8_t> f{first_byte, static_cast<std::uint8_t>(0x80 | payload.size()), 1, 2,
                                3, 4};
    for (std::size_t i = 0; i < payload.size(); ++i) {
      f.push_back(static_cast<std::uint8_t>(payload[i] ^ (1 + i % 4)));
    }
    ASSERT_EQ(static_cast<ssize_t>(f.size()), send(fd_, f.data(), f.size(), 0));
  }

  using FrameList = std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>;

  // Cuts server frames off the front of wire: (first byte, payload) each.
  // *used tells how far the whole frames reach; without it, every byte
  // must belong to a whole frame.
  static FrameList Frames(const std::vector<std::uint8_t>& wire, std::size_t* used = nullptr) {
    FrameList frames;
    std::size_t at = 0;
    while (at + 2 <= wire.size()) {
      std::size_t length = wire[at + 1] & 0x7F;
      std::size_t header = 2;
      EXPECT_EQ(0, wire[at + 1] & 0x80) << "server frames are not masked";
      if (length == 126 || length == 127) {
        header = length == 126 ? 4 : 10;
        if (at + header > wire.size()) break;
        length = 0;
        for (std::size_t i = 2; i < header; ++i) length = length << 8 | wire[at + i];
        EXPECT_GE(length, header == 4 ? 126u : 65536u) << "lengths take the shortest form";
      }
      if (at + header + length > wire.size()) break;
      auto begin = wire.begin() + static_cast<std::ptrdiff_t>(at + header);
      frames.emplace_back(wire[at], std::vector<std::uint8_t>(
                                        begin, begin + static_cast<std::ptrdiff_t>(length)));
      at += header + length;
    }
    if (used != nullptr) {
      *used = at;
    } else {
      EXPECT_EQ(wire.size(), at) << "a frame was cut";
    }
    return frames;
  }

  RecordingHandler chat_;
  int fd_ = -1;
  Connection* c_ = nullptr;
};

TEST_F(WebSocketConnectionTest, QueuedMessagesGoOutInOneFrameOverTheQueuedBlocks) {
  std::vector<std::uint8_t> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    ASSERT_EQ(kOk, c_->QueueSend(data.data() + at, 1000));
  }
  std::vector<std::uint8_t> wire;
  ASSERT_EQ(3004u, ReadAvailable(fd_, &wire, 3004));
  auto frames = Frames(wire);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(0x82, frames[0].first);  // FIN, binary, unmasked
  EXPECT_EQ(data, frames[0].second);
}

TEST_F(WebSocketConnectionTest, FramesStayWholeWhenTheSocketFillsUp) {
  // A reader that stops makes the sends run into a full socket buffer: the
  // queue waits in front of frames that must still arrive whole and in
  // order, with a pong between two of them; no frame is larger than a
  // pass's bound.
  std::vector<std::uint8_t> data(12 * 1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
  }
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    ASSERT_EQ(kOk, c_->QueueSend(data.data() + at, std::min<std::size_t>(1000, data.size() - at)));
  }
  for (int i = 0; i < 400; ++i) manager_.Poll(0);
  EXPECT_GT(c_->queued(), 0u);
  SendMasked(0x89, "mid");  // a ping while a frame may be half sent
  std::vector<std::uint8_t> wire;
  std::vector<std::uint8_t> joined;
  int pongs = 0;
  std::size_t frame_count = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((joined.size() < data.size() || pongs == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::uint8_t buffer[65536];
    ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
      manager_.Poll(1);
      continue;
    }
    wire.insert(wire.end(), buffer, buffer + n);
    std::size_t used = 0;
    for (const auto& [first, payload] : Frames(wire, &used)) {
      ++frame_count;
      if (first == 0x8A) {
        ++pongs;
        EXPECT_EQ("mid", std::string(payload.begin(), payload.end()));
        continue;
      }
      EXPECT_EQ(0x82, first);
      EXPECT_LE(payload.size(), kMaxSendPerPass);
      joined.insert(joined.end(), payload.begin(), payload.end());
    }
    wire.erase(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(used));
  }
  EXPECT_EQ(1, pongs);
  EXPECT_TRUE(wire.empty());
  EXPECT_GT(frame_count, 3u);
  EXPECT_TRUE(data == joined);
}

TEST_F(WebSocketConnectionTest, PayloadReachesTheInputAndPingsArePonged) {
  SendMasked(0x02, "hel");  // a fragmented message
  SendMasked(0x89, "are you there");
  SendMasked(0x80, "lo");
  ASSERT_TRUE(PollUntil([&] { return c_->ReadyCount() == 5; }));
  std::uint8_t in[8];
  ASSERT_EQ(5u, c_->TakeInput(in, sizeof in));
  EXPECT_EQ("hello", std::string(in, in + 5));
  std::vector<std::uint8_t> wire;
  ASSERT_EQ(15u, ReadAvailable(fd_, &wire, 15));
  auto frames = Frames(wire);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(0x8A, frames[0].first);
  EXPECT_EQ("are you there", std::string(frames[0].second.begin(), frames[0].second.end()));
  EXPECT_TRUE(chat_.lost.empty());
}

}  // namespace
}  // namespace zanth::net
