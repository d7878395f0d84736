// Accounts and the "passwds" file.
#include "users/accounts.h"

#include <cerrno>
#include <cstring>

#include "config/text.h"
#include "config/xml.h"
#include "core/log.h"
#include "core/result.h"
#include "platform/file.h"
#include "wire/bytes.h"

namespace zanth::users {
namespace {

constexpr char kSalt[] = "D7";
constexpr char kNamespaceUri[] = "http://zanth.example/xmlschemas/passwds.xml/";
constexpr std::size_t kBinaryRecordSize = 80;
constexpr std::size_t kListRecordSize = 70;

// The permutation of the 95 printable characters drawn from the salt.
struct Permutation {
  char cell[95];
  Permutation() {
    std::uint32_t state = 0xD7;  // the salt read as hexadecimal
    bool used[95] = {};
    for (int c = 0x20; c <= 0x7E; ++c) {
      char ch = c == ',' ? '`' : static_cast<char>(c);
      for (;;) {
        state = state * 1103515245u + 12345u;
        std::uint32_t draw = (state >> 16) & 0x7FFF;
        std::uint32_t i = draw % 95;
        if (!used[i]) {
          used[i] = true;
          cell[i] = ch;
          break;
        }
      }
    }
  }
};

std::string Cut(std::string_view text) {
  return std::string(text.substr(0, kAccountFieldLimit));
}

// A field of the XML form as clients send it: the bytes it had when it was
// written, cut between characters. Read any other way, a name would come
// back different after the next save, and its owner could not sign in.
std::string XmlField(std::string_view text) {
  return config::CutText(config::WireFromXml(text), kAccountFieldLimit);
}

// A name or password field of the binary form, or false when the field has
// no terminator (text that only looks like records).
bool BinaryField(const std::uint8_t* p, std::string* out) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, 33));
  if (end == nullptr) return false;
  *out = std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
  return true;
}

std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t GroupNumber(const GroupTable& groups, const std::string& name) {
  int number = groups.FindByName(name);
  return number < 0 ? 0 : static_cast<std::uint16_t>(number);
}

}  // namespace

bool IsEncodable(std::string_view password) {
  for (char c : password) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string EncodePassword(std::string_view password) {
  static const Permutation permutation;
  std::string text = (std::string(kSalt) + std::string(password)).substr(0, 12);
  for (std::size_t k = 1; k < text.size(); ++k) {
    int i = static_cast<unsigned char>(text[k]) % 127 - 32;
    // Characters outside space..tilde still land inside the table.
    i = ((i % 95) + 95) % 95;
    for (int step = 0; step < 12; ++step) i = permutation.cell[i] - 32;
    text[k] = static_cast<char>(i + 32);
  }
  return text;
}

void AccountList::AddFront(AccountRecord account) {
  accounts_.insert(accounts_.begin(), std::move(account));
}

AccountRecord* AccountList::FindByName(std::string_view name) {
  for (AccountRecord& account : accounts_) {
    if (account.name == name) return &account;
  }
  return nullptr;
}

const AccountRecord* AccountList::Check(std::string_view name, std::string_view password) const {
  std::string encoded = EncodePassword(password);
  for (const AccountRecord& account : accounts_) {
    if (account.name == name && account.password == encoded) return &account;
  }
  return nullptr;
}

int AccountList::Load(const std::string& path, const GroupTable& groups) {
  accounts_.clear();
  read_failed_ = false;
  LogDebug("opening passwords file");
  std::string text;
  int rc = platform::ReadWholeFile(path, &text);
  if (rc == ENOENT) {
    LogDebug("creating default user memory");
    AddFront({kDefaultAccountName, EncodePassword(kDefaultAccountPassword), 0, 2});
    LogDebug("default user created");
    return Save(path, groups);
  }
  if (rc != 0) {
    // There is a file, and writing the default account over it would
    // lose every account in it.
    read_failed_ = true;
    LogError(rc, "reading %s: it is left as it is, with no accounts", path.c_str());
    return rc;
  }
  config::ReadFailure failure;
  failure.path = path;
  switch (LoadText(text, groups, &failure)) {
    case Form::kXml:
      return kOk;
    case Form::kBinary:
      return Save(path, groups);
    case Form::kFailed:
      break;
  }
  read_failed_ = true;
  Log(nullptr, "Error", "%s", failure.Text().c_str());
  return kFailed;
}

AccountList::Form AccountList::LoadText(std::string_view text, const GroupTable& groups,
                                        config::ReadFailure* failure) {
  accounts_.clear();
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // an editor's byte order mark
  if (text.starts_with("<?xml")) {
    config::Element root;
    if (!config::ParseXmlRoot(text, &root, failure)) {
      LogError(kFailed, "Xml error parsing passwds file");
      return Form::kFailed;
    }
    if (root.name != "passwds") {
      failure->message = "the root element is not <passwds>";
      return Form::kFailed;
    }
    for (const config::Element& user : root.children) {
      if (user.name != "user") continue;
      AccountRecord account;
      for (const config::Element& field : user.children) {
        if (field.name == "name") {
          account.name = XmlField(field.text);
        } else if (field.name == "password") {
          account.password = XmlField(field.text);
        } else if (field.name == "reg") {
          account.reg = static_cast<std::uint32_t>(std::strtoul(field.text.c_str(), nullptr, 16));
        } else if (field.name == "group") {
          account.group = GroupNumber(groups, config::WireFromXml(field.text));
        }
      }
      AddFront(std::move(account));
    }
    return Form::kXml;
  }
  // The older binary form: 80-byte records, converted to XML at once. Only
  // a file that is whole records, each with its fields terminated, is
  // taken for one; anything else would be lost in the conversion.
  if (text.empty() || text.size() % kBinaryRecordSize != 0) {
    failure->message = "neither XML nor whole records of the binary form";
    return Form::kFailed;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size(); at += kBinaryRecordSize) {
    const std::uint8_t* r = bytes + at;
    AccountRecord account;
    if (!BinaryField(r + 4, &account.name) || !BinaryField(r + 37, &account.password)) {
      accounts_.clear();
      failure->SetPlace(text, at);
      failure->message = "a record of the binary form without its terminators";
      return Form::kFailed;
    }
    account.name = Cut(account.name);
    account.password = Cut(account.password);
    account.reg = LoadLe32(r + 72);
    account.group = static_cast<std::uint16_t>(r[76] | (r[77] << 8));
    AddFront(std::move(account));
  }
  return Form::kBinary;
}

int AccountList::Save(const std::string& path, const GroupTable& groups) const {
  if (read_failed_) {
    LogError(kFailed, "not writing %s: it could not be read at start", path.c_str());
    return kFailed;
  }
  std::vector<config::Element> users;
  for (const AccountRecord& account : accounts_) {
    config::Element user;
    user.name = "user";
    auto field = [&user](const char* name, std::string value) {
      config::Element e;
      e.name = name;
      e.text = std::move(value);
      user.children.push_back(std::move(e));
    };
    field("name", config::XmlFromWire(account.name));
    field("password", config::XmlFromWire(account.password));
    if (account.reg != 0) {
      field("reg", FormatMessage("%08lX", static_cast<unsigned long>(account.reg)));
    }
    field("group", config::XmlFromWire(groups.Get(account.group).name));
    users.push_back(std::move(user));
  }
  std::string document;
  int rc = config::BuildXmlDocument("passwds", kNamespaceUri, users, &document);
  if (rc == kOk) rc = platform::WriteFileAtomically(path, document, platform::kModePrivate);
  if (rc != kOk) LogError(rc, "writing %s", path.c_str());
  return rc;
}

std::vector<std::uint8_t> AccountList::ListPayload() const {
  wire::PayloadWriter w;
  w.U16(static_cast<std::uint16_t>(accounts_.size()));
  std::uint16_t index = 0;
  for (const AccountRecord& account : accounts_) {
    w.Fixed(account.name, 33).Fixed(account.password, 33).U16(account.group).U16(index++);
  }
  return std::move(w.bytes());
}

void AccountList::ReplaceFromPayload(const std::uint8_t* payload, std::size_t size) {
  wire::PayloadReader r(payload, size);
  std::size_t count = r.U16();
  accounts_.clear();
  for (std::size_t i = 0; i < count && r.remaining() >= kListRecordSize; ++i) {
    AccountRecord account;
    account.name = Cut(r.Fixed(33));
    std::string password = r.Fixed(33);
    bool plain = r.U8() != 0;
    r.Skip(1);
    account.group = r.U16();
    account.password = plain ? EncodePassword(password) : Cut(password);
    AddFront(std::move(account));
  }
}

std::vector<std::string> AccountList::ListLines(const GroupTable& groups) const {
  std::vector<std::string> lines;
  for (const AccountRecord& account : accounts_) {
    lines.push_back(FormatMessage("%08lX %s %s", static_cast<unsigned long>(account.reg),
                                  account.name.c_str(), groups.Get(account.group).name.c_str()));
  }
  return lines;
}

AccountList::Change AccountList::AddFromCommand(std::string_view args, const GroupTable& groups,
                                                AccountRecord* added) {
  std::vector<std::string> words = SplitCommandWords(args, 3);
  if (words.size() < 3) return Change::kUnknownGroup;
  int group = groups.FindByName(words[2]);
  if (group < 0) return Change::kUnknownGroup;
  if (!IsEncodable(words[1])) return Change::kBadPassword;
  AddFront({words[0], EncodePassword(words[1]), 0, static_cast<std::uint16_t>(group)});
  *added = accounts_.front();
  return Change::kDone;
}

AccountList::Change AccountList::ChangeGroupFromCommand(std::string_view args,
                                                        const GroupTable& groups,
                                                        AccountRecord* changed) {
  std::vector<std::string> words = SplitCommandWords(args, 2);
  AccountRecord* account = words.empty() ? nullptr : FindByName(words[0]);
  if (account == nullptr) return Change::kNoAccount;
  int group = words.size() < 2 ? -1 : groups.FindByName(words[1]);
  if (group < 0) return Change::kUnknownGroup;
  account->group = static_cast<std::uint16_t>(group);
  *changed = *account;
  return Change::kDone;
}

std::vector<std::string> SplitCommandWords(std::string_view text, std::size_t count) {
  std::vector<std::string> words;
  while (words.size() < count && !text.empty()) {
    std::size_t space = text.find(' ');
    words.push_back(Cut(text.substr(0, space)));
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return words;
}

}  // namespace zanth::users
