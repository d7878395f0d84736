// A whole chat site inside the fuzz process, without a socket: settings
// over a fresh scratch folder, the rooms, sounds and accounts of a small
// site, and users whose connections are detached. Each input builds its
// own, so no input sees what an earlier one left.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/records.h"
#include "config/settings.h"
#include "net/connection_manager.h"
#include "platform/clock.h"
#include "protocol/session.h"
#include "protocol/site.h"
#include "protocol/site_config.h"

namespace zanth::fuzz {

class FuzzSite {
 public:
  FuzzSite();
  // Removes every user; aborts when a connection outlives its user.
  ~FuzzSite();
  FuzzSite(const FuzzSite&) = delete;
  FuzzSite& operator=(const FuzzSite&) = delete;

  protocol::Site& site() { return site_; }
  platform::ManualClock& clock() { return clock_; }

  // A new connection from address and its user record, not yet identified.
  users::UserRecord& Accept(const std::string& address);
  // Frames one message into the user's receive buffer, as if it had come.
  void Deliver(users::UserRecord& user, std::uint32_t type, std::string_view payload,
               bool compress = false);
  // One user-message pass of the dispatcher.
  void Pass();
  // Accepts a connection and signs it on with ident through one pass.
  // Returns the user, or nullptr when it was refused.
  users::UserRecord* SignOn(const std::string& address, const client::Ident& ident);
  // The live user with this id, or nullptr (never touches a freed record).
  users::UserRecord* Find(std::uint32_t id) { return site_.users.Find(id); }

 private:
  platform::ManualClock clock_;
  Settings settings_;
  net::ConnectionManager transport_;
  protocol::Site site_;
  protocol::SiteConfigHooks hooks_;
  protocol::ChatSessions sessions_;
};

}  // namespace zanth::fuzz
