// zanthc's account commands: list, add, re-password, regroup and delete the
// site's accounts through the account list exchange, signed on as a user
// whose group has the "Server console" privilege.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "client/chat_client.h"

namespace zanth::tools {

// Where an account command prints its results, and what it does with the
// other messages that arrive while it waits for the server's answers.
struct AccountConsole {
  client::ChatClient* client = nullptr;
  std::function<void(const client::Message&)> show;
  std::function<void(const std::string&)> print;
};

inline constexpr char kAccountUsage[] =
    "*** usage: /accounts; /account add NAME GROUP PASSWORD; /account password "
    "NAME PASSWORD; "
    "/account group NAME GROUP; /account delete NAME";

// Runs one typed line that starts with "/accounts" or "/account ". A change
// fetches the groups and the accounts, edits the account list, sends the
// whole list back, then fetches it again and compares. Returns true when
// the command was done and, for a change, the server's list confirms it;
// every failure has printed a line that says why. Waits at most 10 s for
// each answer.
bool RunAccountCommand(std::string_view line, const AccountConsole& console);

}  // namespace zanth::tools
