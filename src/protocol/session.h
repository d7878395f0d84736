// Sessions of chat clients: the user record made at accept, the ident
// handler that signs a client on, and the end of a user's connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/connection.h"
#include "protocol/site.h"

namespace zanth::protocol {

// Kill reasons sent before the server drops a client.
inline constexpr std::uint16_t kKillBanned = 1;
inline constexpr std::uint16_t kKillModerator = 2;
inline constexpr std::uint16_t kKillMembersOnly = 4;
inline constexpr std::uint16_t kKillNoAccountName = 5;
inline constexpr std::uint16_t kKillAuthFailed = 6;

inline constexpr std::size_t kIdentSize = 176;

// The chat listener's routines.
class ChatSessions : public net::ConnectionHandler {
 public:
  explicit ChatSessions(Site& site) : site_(site) {}

  // Makes the user record of a new connection (first deadline 120 s).
  int OnAccept(net::Connection& connection) override;
  // The connection was lost: the user is terminating.
  void OnLost(net::Connection& connection) override;
  void OnReceived(net::Connection& connection) override;

 private:
  Site& site_;
};

// Signs a user on from its "Idn2" payload.
int HandleIdent(Site& site, users::UserRecord& user, const std::uint8_t* payload,
                std::size_t size);

// Sets user terminating and marks its connection closing (no more I/O).
void Terminate(users::UserRecord& user);

// Removes every terminating user; the first step of each dispatcher pass.
void RemoveTerminated(Site& site);

// Removes a user: user list, update list, room, connection and record.
void RemoveUser(Site& site, users::UserRecord& user);

// "Perm" and "Grup" for the user's group.
void SendPrivilegeNotices(Site& site, users::UserRecord& user);

// A server notice to every user whose group receives pages, logged under
// "page" with the whole text.
void SendStaffNotice(Site& site, const users::UserRecord* subject, std::string_view text);

// Gives a signed-on user another group: "You now have %s privileges",
// "Perm" and "Grup".
void ChangeUserGroup(Site& site, users::UserRecord& user, std::uint16_t group);

// The authentication request: into the account's group when the name and
// password match.
void Authenticate(Site& site, users::UserRecord& user, const std::string& name,
                  const std::string& password);

// "Kill" with a reason.
void SendKill(users::UserRecord& user, std::uint16_t reason);

}  // namespace zanth::protocol
