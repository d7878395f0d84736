// zanthc's account commands over the account list exchange: the server
// answers "REAu" with its whole list and replaces its whole list from an
// "AuLs", so every change is fetch, edit, send back, and fetch again.
#include "zanthc_accounts.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client/decode.h"
#include "client/encode.h"
#include "client/records.h"
#include "core/result.h"

namespace zanth::tools {
namespace {

using namespace std::chrono_literals;
using client::Account;
using client::Group;
using client::Message;
using Clock = std::chrono::steady_clock;

constexpr auto kReplyWait = 10s;
// Account names and passwords fill 33-byte fields with their NUL.
constexpr std::size_t kFieldLimit = 32;
// The server's password encoding reads no further than this.
constexpr std::size_t kPasswordCharactersThatCount = 10;
constexpr std::string_view kRefusal = "You do not have console permission";

struct SiteLists {
  std::vector<Group> groups;      // groups 1 and up; group 0 is never listed
  std::vector<Account> accounts;  // the server's order, newest first
};

// "group Knight (3)", or "group 3" for a group the list does not name.
std::string GroupText(const SiteLists& site, std::uint16_t number) {
  if (number < 1 || number > site.groups.size())
    return "group " + std::to_string(number);
  return "group " + site.groups[number - 1].name + " (" +
         std::to_string(number) + ")";
}

// Sends the requests for the lists asked for and waits for the answers,
// which come in the order asked: each list, or the refusal notice instead.
// Everything else that arrives is shown. False, after printing why, when
// the server refused, ended the connection or did not answer in time.
bool Fetch(const AccountConsole& c, bool groups, bool accounts,
           SiteLists* out) {
  int outstanding = 0;
  for (auto [wanted, request] :
       {std::pair{groups, client::kRequestGroups},
        std::pair{accounts, client::kRequestAccounts}}) {
    if (!wanted) continue;
    if (int rc = c.client->SendEmpty(request); rc != kOk) {
      c.print("*** Could not ask for the account list: " + ResultText(rc));
      return false;
    }
    ++outstanding;
  }
  bool refused = false;
  bool garbled = false;
  Clock::time_point deadline = Clock::now() + kReplyWait;
  Message m;
  while (outstanding > 0 && Clock::now() < deadline &&
         c.client->Receive(
             &m, std::chrono::duration_cast<std::chrono::milliseconds>(
                     deadline - Clock::now()))) {
    client::Speech speech;
    if (m.type == client::kGroupList && groups) {
      garbled |= !client::DecodeGroupList(m.payload, &out->groups);
      --outstanding;
    } else if (m.type == client::kAccountList && accounts) {
      garbled |= !client::DecodeAccountList(m.payload, &out->accounts);
      --outstanding;
    } else if (m.type == client::kTalk &&
               client::DecodeSpeech(m.payload, &speech) &&
               speech.speaker == 0 && speech.text == kRefusal) {
      refused = true;
      --outstanding;
    } else {
      c.show(m);
    }
  }
  if (refused) {
    c.print("*** " + std::string(kRefusal) +
            ": accounts need a group with the Server console privilege (sign "
            "on with "
            "--account and --password)");
  } else if (garbled) {
    c.print("*** The server's account or group list could not be read");
  } else if (outstanding > 0) {
    c.print(c.client->closed()
                ? "*** The connection ended before the account list came"
                : "*** The server did not send the account list in time");
  }
  return outstanding == 0 && !refused && !garbled;
}

// The next word of *rest, which then starts at the space after it.
std::string_view NextWord(std::string_view* rest) {
  std::size_t start = rest->find_first_not_of(' ');
  if (start == std::string_view::npos) start = rest->size();
  std::size_t end = rest->find(' ', start);
  if (end == std::string_view::npos) end = rest->size();
  std::string_view word = rest->substr(start, end - start);
  rest->remove_prefix(end);
  return word;
}

// What follows the single space after the last word read.
std::string_view RestOfLine(std::string_view rest) {
  return rest.empty() ? rest : rest.substr(1);
}

bool ValidName(std::string_view name, const AccountConsole& c) {
  bool ok = !name.empty() && name.size() <= kFieldLimit;
  for (char ch : name) {
    auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) ok = false;
  }
  if (!ok) c.print("*** An account name is 1 to 32 characters, without spaces");
  return ok;
}

// The server encodes the characters from space to tilde only.
bool ValidPassword(std::string_view password, const AccountConsole& c) {
  bool ok = !password.empty() && password.size() <= kFieldLimit;
  for (char ch : password) {
    if (ch < ' ' || ch > '~') ok = false;
  }
  if (!ok) {
    c.print(
        "*** A password is 1 to 32 characters from space to ~ (letters, "
        "digits, "
        "punctuation)");
  } else if (password.size() > kPasswordCharactersThatCount) {
    c.print("*** Note: only the first 10 characters of a password count");
  }
  return ok;
}

// A group by its exact name, or by its number.
bool FindGroup(const SiteLists& site, std::string_view text, std::uint16_t* out,
               const AccountConsole& c) {
  for (std::size_t i = 0; i < site.groups.size(); ++i) {
    if (site.groups[i].name == text) {
      *out = static_cast<std::uint16_t>(i + 1);
      return true;
    }
  }
  if (!text.empty() && text.size() <= 5 &&
      text.find_first_not_of("0123456789") == text.npos) {
    unsigned long number = std::stoul(std::string(text));
    if (number <= site.groups.size()) {
      *out = static_cast<std::uint16_t>(number);
      return true;
    }
  }
  std::string names;
  for (const Group& g : site.groups)
    names += (names.empty() ? "" : ", ") + g.name;
  c.print("*** No group is called " + std::string(text) +
          " (the groups: " + names + ", or a number from 0 to " +
          std::to_string(site.groups.size()) + ")");
  return false;
}

void List(const SiteLists& site, const AccountConsole& c) {
  std::size_t n = site.accounts.size();
  c.print("*** " + std::to_string(n) +
          (n == 1 ? " account" : " accounts, newest first") + ":");
  for (const Account& a : site.accounts)
    c.print("  " + a.name + ": " + GroupText(site, a.group));
}

// The server's list after the change took: the same names and groups in
// the same order, the passwords not changed as they were, the new ones
// encoded by the server (so no longer what was sent).
bool Confirmed(const std::vector<Account>& sent,
               const std::vector<Account>& now) {
  if (sent.size() != now.size()) return false;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const Account& s = sent[i];
    const Account& n = now[i];
    if (s.name != n.name || s.group != n.group) return false;
    if (s.plain ? n.password.empty() : s.password != n.password) return false;
  }
  return true;
}

// Sends the edited list and checks it by fetching it again.
bool Replace(const std::vector<Account>& edited, const AccountConsole& c) {
  // The server puts every record it receives at the front of its list, so
  // the list goes out backwards to keep its order (and with it which of
  // two accounts of one name is found first).
  std::vector<Account> wire(edited.rbegin(), edited.rend());
  if (int rc = c.client->SendAccountList(wire); rc != kOk) {
    c.print("*** Could not send the account list: " + ResultText(rc));
    return false;
  }
  SiteLists after;
  if (!Fetch(c, false, true, &after)) return false;
  if (!Confirmed(edited, after.accounts)) {
    c.print(
        "*** The server's account list does not show the change (was it "
        "changed from "
        "elsewhere at the same time?); /accounts shows it as it is");
    return false;
  }
  return true;
}

}  // namespace

bool RunAccountCommand(std::string_view line, const AccountConsole& c) {
  std::string_view rest = line;
  std::string_view command = NextWord(&rest);
  std::string_view verb =
      command == "/account" ? NextWord(&rest) : std::string_view();
  std::string_view name = NextWord(&rest);
  bool list = command == "/accounts" && rest.empty() && name.empty();
  bool known = list || verb == "add" || verb == "password" || verb == "group" ||
               verb == "delete";
  if (!known || (!list && !ValidName(name, c))) {
    if (!known) c.print(kAccountUsage);
    return false;
  }
  // The fields each change needs, checked before anything is sent.
  std::string_view group_text;
  std::string_view password;
  if (verb == "add") {
    group_text = NextWord(&rest);
    password = RestOfLine(rest);
  } else if (verb == "password") {
    password = RestOfLine(rest);
  } else if (verb == "group") {
    group_text = RestOfLine(rest);
  }
  bool needs_group = verb == "add" || verb == "group";
  if ((needs_group && group_text.empty()) ||
      (verb == "delete" && !rest.empty())) {
    c.print(kAccountUsage);
    return false;
  }
  if ((verb == "add" || verb == "password") && !ValidPassword(password, c))
    return false;

  SiteLists site;
  if (!Fetch(c, true, true, &site)) return false;
  if (list) {
    List(site, c);
    return true;
  }
  std::uint16_t group = 0;
  if (needs_group && !FindGroup(site, group_text, &group, c)) return false;

  // Every account of the name changes (adduser can have made several), so
  // that no older record keeps an old password or group working.
  std::vector<Account> edited = site.accounts;
  std::size_t matches = 0;
  for (auto it = edited.begin(); it != edited.end();) {
    if (it->name != name) {
      ++it;
      continue;
    }
    ++matches;
    if (verb == "delete") {
      it = edited.erase(it);
      continue;
    }
    if (verb == "password")
      *it = {it->name, std::string(password), it->group, true};
    if (verb == "group") it->group = group;
    ++it;
  }
  std::string who(name);
  if (verb == "add" && matches > 0) {
    c.print("*** An account called " + who + " exists already");
    return false;
  }
  if (verb != "add" && matches == 0) {
    c.print("*** No account is called " + who + " (/accounts lists them)");
    return false;
  }
  if (verb == "add")
    edited.insert(edited.begin(), {who, std::string(password), group, true});
  if (!Replace(edited, c)) return false;

  if (verb == "add") {
    c.print("*** Account " + who + " added, " + GroupText(site, group));
  } else if (verb == "password") {
    c.print("*** The password of " + who + " is changed");
  } else if (verb == "group") {
    c.print("*** Account " + who + " is now in " + GroupText(site, group));
  } else {
    c.print("*** Account " + who + " deleted");
  }
  return true;
}

}  // namespace zanth::tools
