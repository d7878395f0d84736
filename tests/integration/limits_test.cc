// Hostile clients against a real server: silent connections by the
// thousand, a flood of talk, and a client that never reads. Each time an
// ordinary visitor must still sign on, talk and hear back.
#include <atomic>
#include <thread>

#include "integration/session_fixture.h"
#include "platform/socket.h"

namespace zanth::testing {
namespace {

// Talks and waits for the echo; the round trip, or a failed expectation.
std::chrono::milliseconds RoundTrip(ChatClient& c, const std::string& text) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, c.SendTalk(text));
  for (int i = 0; i < 1000; ++i) {
    Message m;
    if (!c.WaitFor(TypeCode("Talk"), &m, 5s)) break;
    client::Speech s;
    if (client::DecodeSpeech(m.payload, &s) && s.text == text) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
    }
  }
  ADD_FAILURE() << "no echo of " << text;
  return 1h;
}

// Opens a connection from local (0 for any) that never sends anything;
// the connect finishes in the background.
platform::Socket SilentConnection(std::uint16_t port, std::uint32_t local) {
  platform::Socket socket;
  bool in_progress = false;
  EXPECT_EQ(0, platform::ConnectNonBlocking(0x7F000001, port, local, &socket, &in_progress));
  return socket;
}

TEST_F(SessionTest, SilentConnectionsDoNotKeepVisitorsOut) {
  StartServer();
  // From one address each silent connection replaces the one before; from
  // many addresses they all stay. Connections go in batches the listener's
  // short backlog can take.
  std::vector<platform::Socket> silent;
  for (int batch = 1; batch <= 200; ++batch) {
    for (int i = 0; i < 10; ++i) silent.push_back(SilentConnection(server_->chat_port(), 0));
    ASSERT_TRUE(server_->WaitForLog("multiple unknown connects", batch * 10 - 1, 10000)) << batch;
  }
  for (std::uint32_t i = 0; i < 500; ++i) {
    std::uint32_t local = 0x7F020000 + 256 * (i / 250) + 1 + i % 250;
    silent.push_back(SilentConnection(server_->chat_port(), local));
    if (i % 10 == 9) {
      ASSERT_TRUE(server_->WaitForLog("from 127.2.", static_cast<int>(i) + 1, 10000));
    }
  }
  auto visitor = SignOn("Visitor");
  EXPECT_LT(RoundTrip(*visitor, "still here"), 5s);
  EXPECT_TRUE(server_->WaitForLog("multiple unknown connects", 1999, 100));
  EXPECT_FALSE(server_->WaitForLog("multiple unknown connects", 2000, 100));
}

TEST_F(SessionTest, TalkFloodDoesNotStarveOthers) {
  StartServer(Rooms("<room id=\"200\" name=\"quiet\" desc=\"q\" src=\"q\"/>"));
  auto flooder = SignOn("Flooder");
  client::Ident quiet;
  quiet.room = 200;
  auto other = SignOn("Other", quiet);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  // The flooder writes as fast as the socket takes lines, and reads back
  // whatever echoes have arrived after each one, so that it is never cut
  // off for leaving 4 MiB of them unread.
  std::thread flood([&] {
    const std::string line(200, 'f');
    for (int i = 0; i < 2'000'000 && !stop; ++i) {
      if (flooder->SendTalk(line) != 0) break;
      ++sent;
      Message echo;
      while (flooder->Receive(&echo, 0ms)) {
      }
    }
  });
  std::chrono::milliseconds worst{0};
  for (int i = 0; i < 20; ++i) {
    worst = std::max(worst, RoundTrip(*other, "ping " + std::to_string(i)));
    std::this_thread::sleep_for(20ms);
  }
  stop = true;
  flood.join();
  std::printf("flood: %d lines sent, worst round trip of another client %lld ms\n", sent.load(),
              static_cast<long long>(worst.count()));
  EXPECT_GT(sent.load(), 1000);
  EXPECT_FALSE(flooder->closed());
  EXPECT_LT(worst, 5s);
}

TEST_F(SessionTest, ClientThatNeverReadsIsCutOffAtItsQueueBound) {
  StartServer();
  auto sender = SignOn("Sender");
  auto stalled = SignOn("Stalled");
  // Data addressed to the stalled client piles up in its output queue once
  // the socket buffers are full: about 30 MiB in all.
  std::vector<std::uint8_t> block(900 * 1024, 0x5A);
  bool cut = false;
  for (int i = 0; i < 34 && !cut; ++i) {
    ASSERT_EQ(0, sender->SendData("blob", false, {IdOf(*stalled)}, block));
    cut = server_->WaitForLog("output queue full", 1, 50);
  }
  ASSERT_TRUE(server_->WaitForLog("output queue full", 1, 10000));
  EXPECT_NE(std::string::npos, server_->Log().find("Discnct"));
  // The server goes on serving the others.
  EXPECT_LT(RoundTrip(*sender, "after the stall"), 5s);
  auto late = SignOn("Late");
  EXPECT_LT(RoundTrip(*late, "late hello"), 5s);
}

}  // namespace
}  // namespace zanth::testing
