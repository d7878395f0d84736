// The directory client against a fake directory server on loopback, with a
// clock the test moves.
#include "directory/directory_client.h"

#include <gtest/gtest.h>

#include "core/result.h"
#include "platform/clock.h"
#include "support/server_process.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::directory {
namespace {

using wire::TypeCode;

// The fake directory server: keeps its one connection and the messages it
// got.
class FakeServer : public net::ConnectionHandler, public wire::MessageReceiver {
 public:
  int OnAccept(net::Connection& c) override {
    connection = &c;
    return kOk;
  }
  void OnLost(net::Connection&) override { lost = true; }
  bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                 bool) override {
    messages.push_back({type, std::vector<std::uint8_t>(payload, payload + size)});
    return true;
  }
  void Take() {
    if (connection == nullptr) return;
    std::size_t n = connection->ReadyCount();
    std::size_t used = buffer.size();
    buffer.resize(used + n);
    connection->TakeInput(buffer.data() + used, n);
    wire::ParseOutcome out =
        wire::ParseMessages(buffer.data(), buffer.size(), wire::kDirectoryMagic, *this);
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(out.consumed));
  }
  void SendRaw(const std::vector<std::uint8_t>& bytes) { (void)connection->QueueSend(bytes.data(), bytes.size()); }

  net::Connection* connection = nullptr;
  bool lost = false;
  std::vector<std::uint8_t> buffer;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> messages;
};

std::vector<std::uint8_t> Frame(const char (&type)[5], const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> out;
  wire::FrameMessage(wire::kDirectoryMagic, TypeCode(type), payload.data(), payload.size(),
                         false, &out);
  return out;
}

class DirectoryClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClock(&clock_);
    int rc = -1;
    for (int i = 0; i < 5 && rc != kOk; ++i) {
      port_ = testing::PickFreePort();
      rc = transport_.ListenOn("127.0.0.1", port_, &fake_, true);
    }
    ASSERT_EQ(kOk, rc);
    settings_.directory_server = "127.0.0.1:" + std::to_string(port_);
    settings_.site_name = "Site";
    settings_.site_url = "zanth://1.2.3.4:12005/?12005";
    settings_.profile_url = "http://1.2.3.4/index.html";
  }
  void TearDown() override { platform::SetClock(nullptr); }

  // Runs passes until pred holds (bounded).
  template <typename Pred>
  bool Until(Pred pred) {
    for (int i = 0; i < 400 && !pred(); ++i) {
      transport_.Poll(5);
      client_.Poll();
      fake_.Take();
    }
    return pred();
  }

  platform::ManualClock clock_;
  net::ConnectionManager transport_;
  FakeServer fake_;
  Settings settings_;
  std::uint16_t population_ = 3;
  int saves_ = 0;
  DirectoryClient client_{transport_, settings_, [this] { return population_; },
                          [this] { ++saves_; }};
  std::uint16_t port_ = 0;
};

TEST_F(DirectoryClientTest, AnnouncesRepliesAndKeepsTheDirectoryId) {
  settings_.directory_id = "OLD";
  client_.Update();
  ASSERT_TRUE(Until([&] { return !fake_.messages.empty(); }));
  ASSERT_EQ(TypeCode("SvId"), fake_.messages[0].first);
  const std::vector<std::uint8_t>& id = fake_.messages[0].second;
  ASSERT_EQ(3412u, id.size());  // 3424 with its header: no padding
  EXPECT_EQ("OLD", std::string(reinterpret_cast<const char*>(id.data())));
  EXPECT_EQ(3, wire::LoadU16(id.data() + 40));
  EXPECT_EQ(settings_.site_url, std::string(reinterpret_cast<const char*>(id.data() + 42)));
  EXPECT_EQ("Site", std::string(reinterpret_cast<const char*>(id.data() + 1066)));
  EXPECT_EQ(kServerVersion, std::string(reinterpret_cast<const char*>(id.data() + 1578)));
  EXPECT_EQ(settings_.profile_url, std::string(reinterpret_cast<const char*>(id.data() + 2898)));
  EXPECT_EQ(DirectoryState::kAnnounced, client_.state());

  // Half of "UAre" waits; its rest and "Dsct" then come in one read.
  std::vector<std::uint8_t> id_reply = Frame("UAre", {'N', 'E', 'W', '7', 0});
  ASSERT_EQ(32u, id_reply.size());
  fake_.SendRaw(std::vector<std::uint8_t>(id_reply.begin(), id_reply.begin() + 16));
  for (int i = 0; i < 20; ++i) {
    transport_.Poll(2);
    client_.Poll();
  }
  EXPECT_EQ("OLD", settings_.directory_id);
  std::vector<std::uint8_t> rest(id_reply.begin() + 16, id_reply.end());
  std::vector<std::uint8_t> done = Frame("Dsct", {});
  rest.insert(rest.end(), done.begin(), done.end());
  fake_.SendRaw(rest);
  ASSERT_TRUE(Until([&] { return fake_.messages.size() == 2; }));
  EXPECT_EQ("NEW7", settings_.directory_id);
  EXPECT_EQ(1, saves_);
  EXPECT_EQ(TypeCode("Dsct"), fake_.messages[1].first);
  EXPECT_EQ(4u, fake_.messages[1].second.size());  // 16 bytes on the wire

  // The server closes; the next update carries the new ID.
  transport_.RemoveConnection(fake_.connection);
  fake_.connection = nullptr;
  ASSERT_TRUE(Until([&] { return client_.state() == DirectoryState::kIdle; }));
  clock_.Advance(kUpdateInterval + 1);
  ASSERT_TRUE(Until([&] { return fake_.messages.size() == 3; }));
  EXPECT_EQ("NEW7", std::string(reinterpret_cast<const char*>(fake_.messages[2].second.data())));
}

TEST_F(DirectoryClientTest, UpdateSoonOnlyBringsTheUpdateForward) {
  client_.Update();
  ASSERT_TRUE(Until([&] { return client_.state() == DirectoryState::kAnnounced; }));
  transport_.RemoveConnection(fake_.connection);
  fake_.connection = nullptr;
  ASSERT_TRUE(Until([&] { return client_.state() == DirectoryState::kIdle; }));
  std::int64_t now = clock_.NowSeconds();
  clock_.Advance(kUpdateInterval - 15 * 60);  // 15 minutes before the update
  client_.UpdateSoon(180);
  EXPECT_EQ(now + kUpdateInterval - 15 * 60 + 180, client_.next_update());
  clock_.Advance(3 * 60 - 2 * 60);  // now 2 minutes away
  client_.UpdateSoon(180);
  EXPECT_EQ(now + kUpdateInterval - 15 * 60 + 180, client_.next_update());
}

TEST_F(DirectoryClientTest, HiddenSiteKeepsOnlyItsLiveInfoFile) {
  testing::TempDir dir;
  settings_.site_flags = kSiteHidden;
  settings_.live_info_file = dir.File("live.txt");
  settings_.directory_id = "ID";
  population_ = 12;
  clock_.Advance(kUpdateInterval * 2);
  for (int i = 0; i < 5; ++i) {
    transport_.Poll(1);
    client_.Poll();
  }
  EXPECT_EQ(DirectoryState::kIdle, client_.state());
  EXPECT_EQ(nullptr, fake_.connection);
  EXPECT_EQ("ID,12,\"Site\"\n", testing::ReadFileText(settings_.live_info_file));
  population_ = 3;
  client_.Poll();  // not yet: once every 15 seconds
  EXPECT_EQ("ID,12,\"Site\"\n", testing::ReadFileText(settings_.live_info_file));
  client_.UpdateSoon(180);
  client_.Poll();
  EXPECT_EQ("ID,3,\"Site\"\n", testing::ReadFileText(settings_.live_info_file));
}

TEST_F(DirectoryClientTest, UnreachableServerIsClosedByTheTimeLimit) {
  settings_.directory_server = "127.0.0.1:" + std::to_string(testing::PickFreePort());
  client_.Update();
  ASSERT_TRUE(Until([&] { return client_.state() == DirectoryState::kIdle; }) ||
              client_.state() == DirectoryState::kConnecting);
  clock_.Advance(kUpdateInterval + kConnectLimit + 1);
  ASSERT_TRUE(Until([&] { return client_.state() == DirectoryState::kIdle; }));
}

}  // namespace
}  // namespace zanth::directory
