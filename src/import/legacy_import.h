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
#include "rooms/room_registry.h"

namespace zanth::import {

// Limits of a room being imported; what goes beyond is cut or ignored.
inline constexpr std::size_t kMaxPictures = 80;
inline constexpr std::size_t kMaxSpots = 70;
inline constexpr std::size_t kMaxStates = 20;
inline constexpr std::size_t kScriptLimit = 32767;
inline constexpr std::size_t kNameLimit = 255;
inline constexpr std::size_t kOutlineLimit = 255;
inline constexpr std::size_t kBackgroundLimit = 32;
inline constexpr std::size_t kRoomsFileLimit = 511;

// Spot flags as the room description writer reads them.
inline constexpr std::uint32_t kSpotShowName = 0x1;
inline constexpr std::uint32_t kSpotNoMove = 0x2;
inline constexpr std::uint32_t kSpotBolt = 0x4;
inline constexpr std::uint32_t kSpotClosable = 0x8;

struct LegacyPicture {
  int id = 0;
  std::string file;
};

struct LegacyState {
  int picture = 0;
  int x = 0;
  int y = 0;
};

struct LegacySpot {
  int id = 0;
  int destination = 0;
  std::uint32_t flags = 0;
  std::string name;
  std::string outline;
  std::vector<LegacyState> states;
  std::string script;
};

struct LegacyRoom {
  int id = 0;
  std::string name;
  std::uint32_t flags = 0;
  int capacity = 16;
  std::string background;
  std::vector<LegacyPicture> pictures;
  std::vector<LegacySpot> spots;
};

// The room description text written for an imported room.
std::string RoomDescriptionText(const LegacyRoom& room);

// A picture name with its last three characters replaced by "jpg", or by
// "png" for a gif whose jpg is not in media_dir. Names too short to carry
// an extension are kept.
std::string ConvertPictureName(std::string_view name, const std::string& media_dir);

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
