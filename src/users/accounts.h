// Accounts: name, encoded password, group and a kept 32-bit value, with the
// "passwds" file (XML, or the older binary form, which is converted).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/read_failure.h"
#include "users/group_table.h"

namespace zanth::users {

inline constexpr std::size_t kAccountFieldLimit = 32;

// The account a site starts with, and its published password.
inline constexpr char kDefaultAccountName[] = "Lord";
inline constexpr char kDefaultAccountPassword[] = "Velk*Baron";

struct AccountRecord {
  std::string name;      // at most 32 characters, compared exactly
  std::string password;  // encoded
  std::uint32_t reg = 0;
  std::uint16_t group = 0;
};

// The salted substitution of passwords: the salt's first character, then
// at most 11 substituted characters (the salt's second one and the first 10
// of the password).
std::string EncodePassword(std::string_view password);
// True when every character lies between space and tilde.
bool IsEncodable(std::string_view password);

class AccountList {
 public:
  // Loads path. A missing file gives the default account ("Lord", group 2),
  // written at once; a binary file is converted to XML. A file that cannot
  // be read to its end (unreadable, an XML error of any kind, another root
  // element, or bytes that are not whole binary records) is logged, leaves
  // no accounts, and is never written while this list lives: Save refuses.
  // Returns 0, the error of a failed read, or the error of a failed write.
  int Load(const std::string& path, const GroupTable& groups);

  enum class Form { kXml, kBinary, kFailed };
  // Replaces the accounts from the text of a "passwds" file, as Load does
  // but without touching the file. kBinary asks the caller to rewrite the
  // file as XML; kFailed leaves no accounts, with *failure filled (all but
  // its path) and "Xml error parsing passwds file" logged for an XML error.
  Form LoadText(std::string_view text, const GroupTable& groups, config::ReadFailure* failure);
  // Writes the XML form atomically, accounts in list order. Returns 0 or
  // the error; kFailed, with nothing written, after a failed Load.
  int Save(const std::string& path, const GroupTable& groups) const;
  bool read_failed() const { return read_failed_; }

  // Newest first.
  const std::vector<AccountRecord>& accounts() const { return accounts_; }
  void AddFront(AccountRecord account);
  void Clear() { accounts_.clear(); }
  AccountRecord* FindByName(std::string_view name);

  // The first account with this name and password (plain). nullptr if none.
  const AccountRecord* Check(std::string_view name, std::string_view password) const;

  // "AuLs": count, then name[33], password[33], group, index per account.
  std::vector<std::uint8_t> ListPayload() const;
  // Replaces the list from a client's "AuLs"; records past the payload's
  // end are not read.
  void ReplaceFromPayload(const std::uint8_t* payload, std::size_t size);

  // One "%08lX %s %s" line per account (reg, name, group name).
  std::vector<std::string> ListLines(const GroupTable& groups) const;

  enum class Change { kDone, kUnknownGroup, kNoAccount, kBadPassword };
  // "name password group": a new account at the front (an older one of the
  // same name stays). *added gets the new account.
  Change AddFromCommand(std::string_view args, const GroupTable& groups, AccountRecord* added);
  // "name group": the first account of that name moves to the group.
  // *changed gets the account as changed.
  Change ChangeGroupFromCommand(std::string_view args, const GroupTable& groups,
                                AccountRecord* changed);

 private:
  std::vector<AccountRecord> accounts_;
  bool read_failed_ = false;
};

// Splits command text into at most count words separated by single
// spaces, each cut to 32 characters.
std::vector<std::string> SplitCommandWords(std::string_view text, std::size_t count);

}  // namespace zanth::users
