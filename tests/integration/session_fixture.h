// Loopback fixture: an in-process server and clients that sign on from
// their own 127.x addresses (the server keeps only one silent connection
// per address).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/chat_client.h"
#include "client/decode.h"
#include "support/in_process_server.h"
#include "support/server_process.h"
#include "wire/framing.h"

namespace zanth::testing {

using namespace std::chrono_literals;
using client::ChatClient;
using client::Message;
using wire::TypeCode;

// The default rooms followed by extra room elements.
inline std::string Rooms(const std::string& extra) { return InProcessServer::DefaultRooms() + extra; }

class SessionTest : public ::testing::Test {
 protected:
  void StartServer(const std::string& extra_xml = InProcessServer::DefaultRooms(),
                   const std::string& sitename_attributes = "") {
    server_ = std::make_unique<InProcessServer>(extra_xml, sitename_attributes);
    ASSERT_TRUE(server_->started());
  }

  // A connected client from a fresh loopback address.
  std::unique_ptr<ChatClient> Connect() {
    auto c = std::make_unique<ChatClient>();
    std::string address = "127.1." + std::to_string(next_address_ / 250) + "." +
                          std::to_string(1 + next_address_ % 250);
    ++next_address_;
    EXPECT_EQ(0, c->Connect("127.0.0.1", server_->chat_port(), address));
    return c;
  }

  // Signs a client on with ident (the nickname defaults to name) and keeps
  // its user id. Each client gets its own UUID unless same_uuid is set.
  std::unique_ptr<ChatClient> SignOn(const std::string& name, client::Ident ident = {},
                                     client::SignOnResult* result = nullptr,
                                     bool same_uuid = false) {
    auto c = Connect();
    if (ident.nickname.empty()) ident.nickname = name;
    if (!same_uuid) ident.uuid = client::NewClientUuid();
    client::SignOnResult local;
    client::SignOnResult* out = result != nullptr ? result : &local;
    EXPECT_EQ(0, c->SignOn(ident, 5s, out)) << name;
    ids_[c.get()] = out->user_id;
    return c;
  }

  std::uint32_t IdOf(const ChatClient& c) { return ids_[&c]; }

  // The next message of type, or a failed expectation.
  static Message Expect(ChatClient& c, std::uint32_t type, std::vector<Message>* skipped = nullptr) {
    Message m;
    EXPECT_TRUE(c.WaitFor(type, &m, 3s, skipped)) << wire::TypeText(type);
    return m;
  }

  // The text of the next server notice or talk line.
  static client::Speech ExpectTalk(ChatClient& c, std::uint32_t type = TypeCode("Talk")) {
    Message m = Expect(c, type);
    client::Speech s;
    EXPECT_TRUE(client::DecodeSpeech(m.payload, &s));
    return s;
  }

  // True when no message of type arrives within quiet.
  static bool NothingOf(ChatClient& c, std::uint32_t type, std::chrono::milliseconds quiet = 300ms) {
    for (const Message& m : c.ReceiveAll(quiet, 2s)) {
      if (m.type == type) return false;
    }
    return true;
  }

  // The configuration file once it holds needle (bounded wait); the file is
  // written after the log line of the change that caused it.
  std::string WaitForConfig(const std::string& needle) {
    std::string conf;
    for (int i = 0; i < 500; ++i) {
      conf = ReadFileText(server_->data_dir() + "zanth.conf");
      if (conf.find(needle) != std::string::npos) break;
      std::this_thread::sleep_for(10ms);
    }
    return conf;
  }

  // The last message of type among messages (an empty one when none).
  static Message Find(const std::vector<Message>& messages, std::uint32_t type) {
    Message found;
    for (const Message& m : messages) {
      if (m.type == type) found = m;
    }
    EXPECT_EQ(type, found.type) << wire::TypeText(type);
    return found;
  }

  // The type codes of messages, leaving out the connection counts that the
  // server broadcasts whenever the count changed.
  static std::vector<std::string> Types(const std::vector<Message>& messages) {
    std::vector<std::string> types;
    bool leading = true;
    for (const Message& m : messages) {
      if (leading && m.type == TypeCode("UsCt")) continue;
      leading = false;
      types.push_back(wire::TypeText(m.type));
    }
    return types;
  }

  std::unique_ptr<InProcessServer> server_;
  std::map<const ChatClient*, std::uint32_t> ids_;
  int next_address_ = 0;
};

}  // namespace zanth::testing
