// Takes over the site of a legacy chat server installed in the working
// directory: its preferences give the site settings, its rooms script gives
// the rooms, each written as a room description file into the media folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "import/legacy_room.h"
#include "rooms/room_registry.h"

namespace zanth::import {

// Writes the room's description as "rm<id>.rmd" into the media folder and
// appends the room to rooms.
void AddImportedRoom(const LegacyRoom& room, const Settings& settings,
                     rooms::RoomRegistry& rooms);

// Reads a preferences file or rooms script held in memory: site settings go
// into settings, and each complete room is handed to add_room. Returns the
// rooms file the text names, or "" when it names none.
using RoomSink = std::function<void(const LegacyRoom& room)>;
std::string ImportLegacyText(std::string contents, Settings& settings, const RoomSink& add_room);

// Looks for "psdata/PServer.prefs", "psdata/pserver.prefs" and "pscript"
// relative to the working directory and imports the first that opens,
// followed by the rooms file it names. Returns 0 when one opened, else the
// error of the last attempt.
int ImportLegacySite(Settings& settings, rooms::RoomRegistry& rooms);

}  // namespace zanth::import
