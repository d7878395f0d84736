// Room description files in the media folder (".rmd" plain, ".rmz"
// compressed) and the purge of media files that nothing names.
#pragma once

#include <string>

#include "config/settings.h"
#include "rooms/room_registry.h"
#include "users/sound_list.h"

namespace zanth::rooms {

// The content of a room's description file: a ".rmz" file that starts with
// "rmz " is inflated; any other file, or a damaged one, is returned as it
// is. Empty when the file cannot be read.
std::string ReadRoomDescription(const std::string& media_dir, const RoomRecord& room);

// The content of a ".rmz" file read as raw: inflated when it starts with
// "rmz " and a sane length, else raw as it is.
std::string InflateRoomDescription(std::string raw);

// Deletes the files directly in the media folder that nothing names: not
// the profile page, the site image, a room's description file, a sound, nor
// a name that occurs in any room's description. Returns how many were
// deleted.
int PurgeMedia(const Settings& settings, const RoomRegistry& rooms,
               const users::SoundList& sounds);

}  // namespace zanth::rooms
