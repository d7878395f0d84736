// Name changes and mute lists.
#include <algorithm>

#include "commands/commands.h"
#include "core/log.h"
#include "core/result.h"
#include "rooms/occupancy.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::commands {
namespace {

using users::UserRecord;

const char kNameCharacters[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// "a", "a, b", ... cut to 255 characters.
void AddName(std::string* list, const std::string& name) {
  if (!list->empty()) *list += ", ";
  *list += name;
  if (list->size() > 255) list->resize(255);
}

}  // namespace

int ChangeName(protocol::Site& site, UserRecord& user, std::string_view requested) {
  if (user.Has(users::kNameGagged)) return kOk;
  std::string name(requested.substr(0, users::kNameLimit));
  name = name.substr(0, name.find('\0'));
  if (name.find_first_of(kNameCharacters) == std::string::npos) {
    users::SendServerNotice(user, "Invalid name");
    return kOk;
  }
  if (user.group <= 1) {
    for (const UserRecord& other : site.users.users()) {
      if (&other != &user && other.name == name) {
        users::SendServerNotice(user, "That name is already in use");
        return kOk;
      }
    }
  }
  LogAs(user, "Name", "\"%s\" \"%s\"", user.name.c_str(), name.c_str());
  user.name = name;
  rooms::RoomContext ctx = site.room_context();
  rooms::SendUserListUpdate(ctx, user, false);
  if (user.room == nullptr) return kOk;
  wire::PayloadWriter w;
  w.U32(user.id).I16(user.x).I16(user.y).Fixed(user.name, 52);
  int status = kOk;
  for (UserRecord& occupant : user.room->occupants) {
    int rc = occupant.Send(wire::TypeCode("Name"), w.bytes());
    if (rc != kOk) status = rc;
  }
  return status;
}

void Mute(protocol::Site& site, UserRecord& issuer, const std::vector<std::uint32_t>& targets) {
  if (targets.empty()) return;
  std::string names;
  for (std::uint32_t id : targets) {
    UserRecord* target = site.users.Find(id);
    if (target == nullptr) continue;
    AddName(&names, target->name);
    issuer.muted.push_back(target->id);
    target->muted_by.push_back(issuer.id);
  }
  users::SendServerNotice(issuer, FormatMessage("You have muted %s", names.c_str()));
}

void Unmute(protocol::Site& site, UserRecord& issuer, const std::vector<std::uint32_t>& targets) {
  if (targets.empty()) return;
  std::string names;
  for (std::uint32_t id : targets) {
    UserRecord* target = site.users.Find(id);
    if (target == nullptr) continue;
    AddName(&names, target->name);
    std::erase(target->muted_by, issuer.id);
    std::erase(issuer.muted, target->id);
  }
  users::SendServerNotice(issuer, FormatMessage("You have unmuted %s", names.c_str()));
}

void DropFromMuteLists(protocol::Site& site, UserRecord& user) {
  for (std::uint32_t id : user.muted_by) {
    if (UserRecord* other = site.users.Find(id)) std::erase(other->muted, user.id);
  }
  for (std::uint32_t id : user.muted) {
    if (UserRecord* other = site.users.Find(id)) std::erase(other->muted_by, user.id);
  }
  user.muted.clear();
  user.muted_by.clear();
}

}  // namespace zanth::commands
