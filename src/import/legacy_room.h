// A room of a legacy site as its rooms script describes it, and the room
// description text this server keeps for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace zanth::import
