// Talk, whisper, room messages and the data relay.
#include <string>
#include <vector>

#include "core/log.h"
#include "core/metrics.h"
#include "core/result.h"
#include "protocol/handlers.h"
#include "rooms/occupancy.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {
namespace {

using users::UserRecord;

bool IsCommand(const std::string& text) {
  return !text.empty() && (text[0] == '\'' || text[0] == '`');
}

// The at-sign test shared by talk and whisper: true when the line is refused.
bool RefuseSpoof(UserRecord& user, const std::string& text) {
  if (text.empty() || text[0] != '@') return false;
  if (user.room != nullptr && !user.room->Has(rooms::kNoSpoof)) return false;
  users::SendServerNotice(user, "No spoofing");
  return true;
}

int RunCommand(Site& site, UserRecord& user, const std::string& text,
               const std::vector<std::uint32_t>& targets) {
  LogDebug("Parsing a server command, length %u", static_cast<unsigned>(text.size()));
  // The command line is the text without its command character.
  std::string line = text.substr(1);
  LogDebug("Have a server command %s", line.c_str());
  if (!site.run_command) {
    users::SendServerNotice(user, "Unknown command. Use 'help for a list of commands.");
    return kOk;
  }
  return site.run_command(user, line, targets);
}

}  // namespace

int HandleTalk(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::string text = r.PText();
  if (RefuseSpoof(user, text)) return kOk;
  if (IsCommand(text)) return RunCommand(site, user, text, {});
  if (user.room == nullptr) return kOk;
  ++GetMetrics().talk_lines;
  LogDebug("Prepping chat data");
  wire::PayloadWriter w;
  w.U32(user.id).PText(text);
  LogDebug("Sending chat, length %ld", static_cast<long>(text.size() + 5));
  rooms::RoomContext ctx = site.room_context();
  rooms::SendToRoom(ctx, &user, *user.room, wire::TypeCode("Talk"), w.bytes(), nullptr);
  return kOk;
}

int HandleWhisper(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::int16_t count = r.I16();
  r.Skip(2);
  std::vector<std::uint32_t> targets;
  // A count larger than the ids present is clipped to what is there.
  for (std::int16_t i = 0; i < count && r.remaining() >= 4; ++i) targets.push_back(r.U32());
  std::string text = r.PText();
  if (RefuseSpoof(user, text)) return kOk;
  if (IsCommand(text)) return RunCommand(site, user, text, targets);

  const users::GroupRecord& group = site.GroupOf(user);
  if ((user.room == nullptr || user.room->Has(rooms::kNoWhisper)) && group.rank <= 1) {
    users::SendServerNotice(user, "Whispers are not permitted in this room");
    return kOk;
  }
  ++GetMetrics().talk_lines;
  LogDebug("Prepping whisper data");
  wire::PayloadWriter whisper;
  whisper.U32(user.id).PText(text);
  wire::PayloadWriter cross;
  cross.U32(user.id).U32(user.colour).Fixed(user.name, 33).PText(text);
  LogDebug("Sending whisper, length %ld", static_cast<long>(whisper.size()));
  // The speaker's own copy, and one per listener, count as deliveries as
  // they do for talk in a room.
  std::uint64_t& deliveries = GetMetrics().talk_deliveries;
  if (user.Send(wire::TypeCode("xTlk"), whisper.bytes()) == kOk) ++deliveries;
  for (std::uint32_t id : targets) {
    UserRecord* target = site.users.Find(id);
    if (target == nullptr) continue;
    const users::GroupRecord& target_group = site.GroupOf(*target);
    rooms::RoomContext ctx = site.room_context();
    if (target_group.rank >= group.rank &&
        (target->Has(users::kRejectsWhispers) || rooms::IsMuted(ctx, user, *target))) {
      users::SendServerNotice(user, FormatMessage("%s is not accepting whispers",
                                                  target->name.c_str()));
      continue;
    }
    int sent = target->room == user.room ? target->Send(wire::TypeCode("xTlk"), whisper.bytes())
                                         : target->Send(wire::TypeCode("CrTk"), cross.bytes());
    if (sent == kOk) ++deliveries;
  }
  return kOk;
}

int HandleRoomMessage(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::string text = r.PText();
  ++GetMetrics().talk_lines;
  wire::PayloadWriter w;
  w.U32(0).PText(text);
  rooms::RoomContext ctx = site.room_context();
  rooms::SendToRoom(ctx, &user, *user.room, wire::TypeCode("Talk"), w.bytes(), nullptr);
  return kOk;
}

int HandleData(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::uint8_t tag[16];
  r.Bytes(tag, sizeof tag);
  bool global = r.U8() != 0;
  r.Skip(1);
  std::int16_t count = r.I16();
  std::uint32_t data_size = r.U32();
  std::vector<std::uint32_t> targets;
  for (std::int16_t i = 0; i < count && r.remaining() >= 4; ++i) targets.push_back(r.U32());
  // A size larger than the bytes present is clipped to what is there.
  std::size_t size = data_size < r.remaining() ? data_size : r.remaining();

  wire::PayloadWriter w;
  w.Bytes(tag, sizeof tag).U32(user.id).U32(static_cast<std::uint32_t>(size)).Bytes(r.current(), size);
  if (global && !site.GroupOf(user).Has(users::kSendServerMessages)) {
    users::SendServerNotice(user, "You do not have permission to send global data messages");
    return kOk;
  }
  // Framed (and compressed) once for all its receivers.
  users::SharedFrame frame(wire::TypeCode("Data"), w.bytes().data(), w.bytes().size(),
                           message.compressed);
  if (targets.empty()) {
    for (UserRecord& other : site.users.users()) {
      if (&other == &user) continue;
      if (global || (user.room != nullptr && other.room == user.room)) frame.SendTo(other);
    }
    return kOk;
  }
  for (std::uint32_t id : targets) {
    if (UserRecord* target = site.users.Find(id)) frame.SendTo(*target);
  }
  return kOk;
}

}  // namespace zanth::protocol
