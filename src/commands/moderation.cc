// Moderation actions on whisper targets: kill, pin, gag, prop gag, name
// gag and timeout, with their undoing twins.
#include "commands/commands.h"
#include "core/log.h"
#include "core/result.h"
#include "protocol/handlers.h"
#include "protocol/session.h"
#include "rooms/room_state.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::commands {
namespace {

using users::UserRecord;

struct ActionInfo {
  std::uint32_t bit;
  bool restricting;
  const char* category;
  const char* notice;  // "%s ... by %s"
};

ActionInfo Info(Action action) {
  switch (action) {
    case Action::kKill: return {users::kBanned, true, "ban", "%s banned by %s"};
    case Action::kPin: return {users::kPinned, true, "pin", "%s pinned by %s"};
    case Action::kUnpin: return {users::kPinned, false, "pin", "%s un-pinned by %s"};
    case Action::kGag: return {users::kGagged, true, "gag", "%s gagged by %s"};
    case Action::kUngag: return {users::kGagged, false, "gag", "%s un-gagged by %s"};
    case Action::kPropGag: return {users::kPropGagged, true, "prpgag", "%s prop gagged by %s"};
    case Action::kUnpropGag:
      return {users::kPropGagged, false, "prpgag", "%s un-prop gagged by %s"};
    case Action::kNameGag: return {users::kNameGagged, true, "nmegag", "%s name gagged by %s"};
    case Action::kUnnameGag:
      return {users::kNameGagged, false, "nmegag", "%s un-name gagged by %s"};
    case Action::kTimeout:
      return {users::kInTimeout, true, "timeout", "%s sent to the timeout room by %s"};
    case Action::kRelease:
      return {users::kInTimeout, false, "timeout", "%s released from the timeout room by %s"};
  }
  return {0, false, "", ""};
}

std::string Key(const UserRecord& user) { return users::BanKey(user.uuid); }

void Notify(protocol::Site& site, const char* format, const UserRecord& target,
            const UserRecord& issuer) {
  std::string text = format;
  std::size_t first = text.find("%s");
  text.replace(first, 2, target.name);
  std::size_t second = text.find("%s", first + target.name.size());
  text.replace(second, 2, issuer.name);
  protocol::SendStaffNotice(site, nullptr, text);
}

void LogAction(const UserRecord& issuer, const char* category, const char* verb,
               const UserRecord& target) {
  LogAs(issuer, category, "%s%s %s", verb, Key(target).c_str(), target.name.c_str());
}

}  // namespace

int Moderate(protocol::Site& site, UserRecord& issuer, Action action,
             const std::vector<std::uint32_t>& targets) {
  ActionInfo info = Info(action);
  int status = kOk;
  rooms::RoomContext ctx = site.room_context();
  for (std::uint32_t id : targets) {
    UserRecord* target = site.users.Find(id);
    if (target == nullptr) continue;
    if (info.restricting && site.GroupOf(issuer).rank < site.GroupOf(*target).rank) {
      users::SendServerNotice(issuer, FormatMessage("%s outranks you", target->name.c_str()));
      continue;
    }
    switch (action) {
      case Action::kKill: {
        wire::PayloadWriter w;
        w.U16(protocol::kKillModerator);
        status = target->Send(wire::TypeCode("Kill"), w.bytes());
        if (status == kOk) users::MarkTerminating(*target);
        LogAction(issuer, "ban", "", *target);
        Notify(site, info.notice, *target, issuer);
        break;
      }
      case Action::kPin:
        target->flags |= users::kPinned;
        if (target->room != nullptr) {
          protocol::Move2D(site, *target, target->x, target->y, true);
        }
        LogAction(issuer, "pin", "set ", *target);
        Notify(site, info.notice, *target, issuer);
        break;
      case Action::kPropGag:
        target->flags |= users::kPropGagged;
        if (target->prop_list) {
          LogDebug("Clearing user prop list");
          rooms::ReleasePropList(ctx, *target);
          target->prop_list.emplace();
          rooms::SendPropListToRoom(ctx, *target);
        }
        LogAction(issuer, "prpgag", "set ", *target);
        Notify(site, info.notice, *target, issuer);
        break;
      case Action::kNameGag:
        Notify(site, info.notice, *target, issuer);
        (void)ChangeName(site, *target,
                         FormatMessage("%s %d", site.GroupOf(*target).name.c_str(),
                                       target->number));
        target->flags |= users::kNameGagged;
        LogAction(issuer, "nmegag", "set ", *target);
        break;
      case Action::kTimeout:
        target->flags |= users::kInTimeout;
        LogAction(issuer, "timeout", "set ", *target);
        rooms::RoomRequest(ctx, *target, rooms::kTimeoutRequest, true);
        Notify(site, info.notice, *target, issuer);
        break;
      case Action::kGag:
        target->flags |= users::kGagged;
        LogAction(issuer, "gag", "set ", *target);
        Notify(site, info.notice, *target, issuer);
        break;
      default:  // the undoing twins
        target->flags &= ~info.bit;
        LogAction(issuer, info.category, "clr ", *target);
        if (action == Action::kRelease) rooms::RoomRequest(ctx, *target, rooms::kGateRequest);
        Notify(site, info.notice, *target, issuer);
        break;
    }
    (void)site.bans.RecordMeasure(*target, info.bit, info.restricting, site.BansPath());
  }
  return status;
}

}  // namespace zanth::commands
