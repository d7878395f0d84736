// Prop lists, prop uploads, loose props, spot states and room locks.
#include "core/result.h"
#include "protocol/handlers.h"
#include "rooms/room_state.h"

namespace zanth::protocol {

using users::UserRecord;

int HandlePropList(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  rooms::SetPropList(ctx, user, message.payload, message.size);
  return kOk;
}

int HandlePropData(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  rooms::UploadProp(ctx, user, message.payload, message.size);
  return kOk;
}

int HandleLooseProp(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  if (rooms::DropLooseProp(ctx, user, message.payload, message.size)) site.SaveConfiguration();
  return kOk;
}

int HandleMoveLooseProp(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  if (rooms::MoveLooseProp(ctx, user, message.payload, message.size)) site.SaveConfiguration();
  return kOk;
}

int HandleDeleteLooseProp(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  if (rooms::DeleteLooseProp(ctx, user, message.payload, message.size)) site.SaveConfiguration();
  return kOk;
}

int HandleSpotState(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  rooms::SetSpotState(ctx, user, message.payload, message.size);
  return kOk;
}

int HandleRoomLock(Site& site, UserRecord& user, const Message& message) {
  rooms::RoomContext ctx = site.room_context();
  rooms::LockRoom(ctx, user, message.payload, message.size);
  return kOk;
}

}  // namespace zanth::protocol
