// gen-reference: renders the README's reference sections from the tables the
// server runs on (commands, privileges, default groups), and checks the
// README against them or rewrites those sections in place.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "users/group_table.h"

namespace {

using zanth::users::BitLabel;
using zanth::users::GroupTable;

// What each privilege bit lets a group do. A bit of the privilege table
// without an entry here stops the tool, so a new privilege cannot reach
// the README undescribed.
const BitLabel kPrivilegeEffects[] = {
    {zanth::users::kChangeName, "Kept for the group editor; the server checks the `name` "
                                "command right instead"},
    {zanth::users::kMemberAvatars, "Kept for the group editor; the server does not check it"},
    {zanth::users::kAuthorRooms, "Upload files to the media folder and change the current "
                                 "room's settings"},
    {zanth::users::kCreateRooms, "Create rooms"},
    {zanth::users::kServerConsole, "Administer the site from a client: the account, ban, "
                                   "group and sound lists, the rating and the directory "
                                   "settings"},
    {zanth::users::kWearBadge, "Show or hide a badge on the avatar"},
    {zanth::users::kReceivesPages, "Receive pages and staff notices"},
    {zanth::users::kMultipleConnections, "Sign on twice with the same identity; without it the "
                                         "new connection replaces the old one"},
    {zanth::users::kSendServerMessages, "Send data messages to everyone on the site"},
    {zanth::users::kFullRooms, "Enter rooms that are full"},
    {zanth::users::kMemberRooms, "Enter members-only rooms, and lock and unlock rooms"},
    {zanth::users::kUserIds, "See user identities in `'list`"},
    {zanth::users::kHiddenRooms, "See hidden rooms and the people in them"},
    {zanth::users::kLockedRooms, "Enter locked rooms and see the people in them"},
};

constexpr std::uint32_t kEveryone = 0xFFFFFFFF;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The default groups whose mask (privileges or commands) has any bit of bits.
std::string GroupsHolding(std::uint32_t bits, bool commands) {
  GroupTable groups;
  std::string names;
  for (std::uint16_t i = 0; i < groups.size(); ++i) {
    const zanth::users::GroupRecord& group = groups.Get(i);
    std::uint32_t mask = commands ? group.commands : group.privileges;
    if ((mask & bits) == 0) continue;
    if (!names.empty()) names += ", ";
    names += group.name;
  }
  return names.empty() ? "none" : names;
}

std::string CommandRight(std::uint32_t rights) {
  if (rights == kEveryone) return "none needed";
  for (const BitLabel& entry : zanth::users::kCommandTable) {
    if (entry.bit == rights) return "`" + Hex(rights) + "` " + entry.label;
  }
  return "`" + Hex(rights) + "`";
}

std::string CommandReference() {
  std::string out =
      "| command | right needed | default groups with the right | what it does |\n"
      "|---|---|---|---|\n";
  for (const zanth::commands::CommandEntry& entry : zanth::commands::kCommandTable) {
    std::string usage = std::string("'") + entry.name;
    if (entry.synopsis[0] != '\0') usage += std::string(" ") + entry.synopsis;
    out += "| `" + usage + "` | " + CommandRight(entry.rights) + " | " +
           GroupsHolding(entry.rights, true) + " | " + entry.description + " |\n";
  }
  return out;
}

// Empty when every privilege has its effect; else the bits that lack one.
std::string PrivilegeReference(std::string* missing) {
  std::string out =
      "| bit | privilege | default groups | what it allows |\n"
      "|---|---|---|---|\n";
  for (const BitLabel& privilege : zanth::users::kPrivilegeTable) {
    const char* effect = nullptr;
    for (const BitLabel& known : kPrivilegeEffects) {
      if (known.bit == privilege.bit) effect = known.label;
    }
    if (effect == nullptr) {
      *missing += " " + Hex(privilege.bit);
      continue;
    }
    out += "| `" + Hex(privilege.bit) + "` | " + privilege.label + " | " +
           GroupsHolding(privilege.bit, false) + " | " + effect + " |\n";
  }
  return out;
}

std::string GroupReference() {
  std::string out =
      "| number | group | rank | privileges | command rights |\n"
      "|---|---|---|---|---|\n";
  GroupTable groups;
  for (std::uint16_t i = 0; i < groups.size(); ++i) {
    const zanth::users::GroupRecord& group = groups.Get(i);
    out += "| " + std::to_string(i) + " | " + group.name + " | " + std::to_string(group.rank) +
           " | `" + Hex(group.privileges) + "` | `" + Hex(group.commands) + "` |\n";
  }
  return out;
}

struct Section {
  const char* name;
  std::string text;
};

// Replaces the lines between "<!-- begin NAME ..." and "<!-- end NAME -->"
// with the section's text. False when the markers are missing.
bool Splice(const std::string& readme, const Section& section, std::string* out) {
  std::string begin = std::string("<!-- begin ") + section.name + " ";
  std::string end = std::string("<!-- end ") + section.name + " -->";
  std::size_t at = readme.find("\n" + begin);
  if (at == std::string::npos) return false;
  std::size_t body = readme.find('\n', at + 1);
  if (body == std::string::npos) return false;
  ++body;
  std::size_t stop = readme.find("\n" + end + "\n", body - 1);
  if (stop == std::string::npos) return false;
  *out = readme.substr(0, body) + section.text + readme.substr(stop + 1);
  return true;
}

int Usage() {
  std::fputs("usage: gen-reference [--update] README.md\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool update = argc == 3 && std::strcmp(argv[1], "--update") == 0;
  if (argc != 2 && !update) return Usage();
  const char* path = argv[argc - 1];
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "gen-reference: cannot read %s\n", path);
    return 1;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string readme = buffer.str();

  std::string missing;
  const Section sections[] = {
      {"commands", CommandReference()},
      {"privileges", PrivilegeReference(&missing)},
      {"groups", GroupReference()},
  };
  if (!missing.empty()) {
    std::fprintf(stderr, "gen-reference: no effect written for privilege bits%s\n",
                 missing.c_str());
    return 1;
  }
  std::string expected = readme;
  for (const Section& section : sections) {
    if (!Splice(expected, section, &expected)) {
      std::fprintf(stderr, "gen-reference: %s lacks the markers of the %s section\n", path,
                   section.name);
      return 1;
    }
  }
  if (expected == readme) return 0;
  if (update) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << expected;
    if (!out.flush()) {
      std::fprintf(stderr, "gen-reference: cannot write %s\n", path);
      return 1;
    }
    std::printf("gen-reference: rewrote the generated sections of %s\n", path);
    return 0;
  }
  for (const Section& section : sections) {
    std::string one;
    if (Splice(readme, section, &one) && one != readme) {
      std::fprintf(stderr, "gen-reference: the %s section of %s differs from the tables; "
                   "it should read:\n%s", section.name, path, section.text.c_str());
    }
  }
  std::fputs("gen-reference: run `make reference` to rewrite it\n", stderr);
  return 1;
}
