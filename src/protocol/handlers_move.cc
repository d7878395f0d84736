// Movement in 2D and 3D rooms, and appearance: face, colour, face image,
// badge and voice.
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/result.h"
#include "protocol/handlers.h"
#include "rooms/occupancy.h"
#include "wire/bytes.h"
#include "wire/framing.h"

namespace zanth::protocol {
namespace {

using users::UserRecord;

void Announce(Site& site, UserRecord& user, const char (&type)[5], const wire::PayloadWriter& w,
              const UserRecord* skip = nullptr) {
  if (user.room == nullptr) return;
  rooms::RoomContext ctx = site.room_context();
  rooms::SendToRoom(ctx, &user, *user.room, wire::TypeCode(type), w.bytes(), skip);
}

}  // namespace

void Move2D(Site& site, UserRecord& user, std::int16_t x, std::int16_t y, bool announce) {
  if (user.Has(users::kPinned) && user.room != nullptr) {
    LogDebug("User is pinned trying to move");
  }
  bool forced = rooms::PlaceInRoom(user, x, y);
  if (!announce || user.room == nullptr) return;
  wire::PayloadWriter w;
  w.U32(user.id).I16(user.x).I16(user.y);
  Announce(site, user, "UsMv", w, forced ? nullptr : &user);
}

int HandleMove(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  std::int16_t x = r.I16();
  std::int16_t y = r.I16();
  LogDebug("Move message");
  LogDebug("Received user move message %d,%d", x, y);
  Move2D(site, user, x, y, true);
  return kOk;
}

int HandleMove3D(Site& site, UserRecord& user, const Message& message) {
  wire::PayloadReader r(message.payload, message.size);
  float values[12];
  for (float& v : values) v = r.Float();
  LogDebug("Received user move 3D message");
  if (user.room == nullptr) return kOk;
  bool forced = user.Has(users::kPinned);
  if (forced) {
    LogDebug("User is pinned trying to move");
  } else {
    std::memcpy(user.pose.position, values, sizeof user.pose.position);
    std::memcpy(user.pose.rotation, values + 6, sizeof user.pose.rotation);
  }
  wire::PayloadWriter w;
  w.U32(user.id).U32(0);
  for (float v : user.pose.position) w.Float(v);
  for (float v : user.pose.vector2) w.Float(v);
  for (float v : user.pose.rotation) w.Float(v);
  for (float v : user.pose.vector4) w.Float(v);
  Announce(site, user, "Mv3D", w, forced ? nullptr : &user);
  return kOk;
}

int HandleFace(Site& site, UserRecord& user, const Message& message) {
  LogDebug("Face change request");
  wire::PayloadReader r(message.payload, message.size);
  user.face = r.I16();
  wire::PayloadWriter w;
  w.U32(user.id).I16(user.face).U16(0);
  Announce(site, user, "FNum", w);
  return kOk;
}

int HandleColour(Site& site, UserRecord& user, const Message& message) {
  LogDebug("Face rgb color change request");
  wire::PayloadReader r(message.payload, message.size);
  std::uint32_t colour = r.U32();
  user.colour = colour != 0 ? colour : users::kDefaultColour;
  wire::PayloadWriter w;
  w.U32(user.id).U32(user.colour);
  Announce(site, user, "FRGB", w);
  return kOk;
}

int HandleFaceImage(Site& site, UserRecord& user, const Message& message) {
  LogDebug("Face Image message");
  wire::PayloadReader r(message.payload, message.size);
  user.face_image = r.ZString();
  wire::PayloadWriter w;
  w.U32(user.id).ZString(*user.face_image);
  Announce(site, user, "FImg", w);
  return kOk;
}

int HandleBadge(Site& site, UserRecord& user, const Message&) {
  LogDebug("Badge request");
  if (!site.GroupOf(user).Has(users::kWearBadge)) return kOk;
  user.badge ^= 1;
  wire::PayloadWriter w;
  w.U32(user.id).U8(static_cast<std::uint8_t>(user.badge & 1)).Zeros(3);
  Announce(site, user, "Badg", w);
  return kOk;
}

int HandleVoice(Site& site, UserRecord& user, const Message& message) {
  LogDebug("Voice message");
  wire::PayloadReader r(message.payload, message.size);
  user.voice = r.I16();
  wire::PayloadWriter w;
  w.U32(user.id).I16(user.voice).U16(0);
  Announce(site, user, "Voic", w);
  return kOk;
}

}  // namespace zanth::protocol
