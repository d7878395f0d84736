// The message handlers, grouped by family. Each gets the sender, the payload
// (already checked against the table's minimum size) and whether it arrived
// compressed, and returns 0 or an error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/site.h"

namespace zanth::protocol {

struct Message {
  const std::uint8_t* payload;
  std::size_t size;
  bool compressed;
};

using Handler = int (*)(Site& site, users::UserRecord& user, const Message& message);

// Chat: talk, whisper, room message, data relay.
int HandleTalk(Site&, users::UserRecord&, const Message&);
int HandleWhisper(Site&, users::UserRecord&, const Message&);
int HandleRoomMessage(Site&, users::UserRecord&, const Message&);
int HandleData(Site&, users::UserRecord&, const Message&);

// Movement and appearance.
int HandleMove(Site&, users::UserRecord&, const Message&);
int HandleMove3D(Site&, users::UserRecord&, const Message&);
int HandleFace(Site&, users::UserRecord&, const Message&);
int HandleColour(Site&, users::UserRecord&, const Message&);
int HandleFaceImage(Site&, users::UserRecord&, const Message&);
int HandleBadge(Site&, users::UserRecord&, const Message&);
int HandleVoice(Site&, users::UserRecord&, const Message&);

// Rooms.
int HandleRoomRequest(Site&, users::UserRecord&, const Message&);
int HandleRoomList(Site&, users::UserRecord&, const Message&);
int HandleRoomListStop(Site&, users::UserRecord&, const Message&);
int HandleRoomName(Site&, users::UserRecord&, const Message&);
int HandleRoomEditInfo(Site&, users::UserRecord&, const Message&);
int HandleFreeRoomId(Site&, users::UserRecord&, const Message&);
int HandleCreateRoom(Site&, users::UserRecord&, const Message&);
int HandleUpdateRoom(Site&, users::UserRecord&, const Message&);

// User lists and group tables.
int HandleUserList(Site&, users::UserRecord&, const Message&);
int HandleUserListStop(Site&, users::UserRecord&, const Message&);
int HandleGroupList(Site&, users::UserRecord&, const Message&);
int HandleGroupListRequest(Site&, users::UserRecord&, const Message&);
int HandlePrivilegeNamesRequest(Site&, users::UserRecord&, const Message&);
int HandleCommandNamesRequest(Site&, users::UserRecord&, const Message&);

// Accounts and bans.
int HandleAuth(Site&, users::UserRecord&, const Message&);
int HandleAccountListRequest(Site&, users::UserRecord&, const Message&);
int HandleAccountList(Site&, users::UserRecord&, const Message&);
int HandleBanListRequest(Site&, users::UserRecord&, const Message&);
int HandleBanList(Site&, users::UserRecord&, const Message&);
int HandleSoundList(Site&, users::UserRecord&, const Message&);
int HandleName(Site&, users::UserRecord&, const Message&);

// Uploads, the site rating and the directory information.
int HandleUploadStart(Site&, users::UserRecord&, const Message&);
int HandleUploadSegment(Site&, users::UserRecord&, const Message&);
int HandleRating(Site&, users::UserRecord&, const Message&);
int HandleDirectoryInfo(Site&, users::UserRecord&, const Message&);
int HandleDirectoryInfoRequest(Site&, users::UserRecord&, const Message&);
// Closes a leaving user's uploads and deletes their temporary files.
void CloseUploads(users::UserRecord& user);

// Props, loose props, spot states and locks.
int HandlePropList(Site&, users::UserRecord&, const Message&);
int HandlePropData(Site&, users::UserRecord&, const Message&);
int HandleLooseProp(Site&, users::UserRecord&, const Message&);
int HandleMoveLooseProp(Site&, users::UserRecord&, const Message&);
int HandleDeleteLooseProp(Site&, users::UserRecord&, const Message&);
int HandleSpotState(Site&, users::UserRecord&, const Message&);
int HandleRoomLock(Site&, users::UserRecord&, const Message&);

// Movement operations also used by sign-on and moderation. A forced move
// tells the mover where it really is.
void Move2D(Site& site, users::UserRecord& user, std::int16_t x, std::int16_t y, bool announce);

}  // namespace zanth::protocol
