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

// As ReadRoomDescription, telling a file that is not there (no content,
// result 0) from one that is there but cannot be read (the system error).
int ReadRoomDescription(const std::string& media_dir, const RoomRecord& room,
                        std::string* content);

// The content of a ".rmz" file read as raw: inflated when it starts with
// "rmz " and a sane length, else raw as it is.
std::string InflateRoomDescription(std::string raw);

// Deletes the files directly in the media folder that nothing names: not
// the profile page, the site image, a room's description file, a sound, nor
// a name that occurs in any room's description. *deleted gets how many were
// deleted. Returns 0, or the system error of a room's description file that
// exists but cannot be read: the names it holds are unknown, so nothing is
// deleted (the file is named in the log).
[[nodiscard]] int PurgeMedia(const Settings& settings, const RoomRegistry& rooms,
                             const users::SoundList& sounds, int* deleted);

}  // namespace zanth::rooms
