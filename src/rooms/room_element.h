// Rooms as "room" elements of the configuration file.
#pragma once

#include <vector>

#include "config/config_file.h"
#include "rooms/room.h"

namespace zanth::rooms {

// The flag attributes in the order they are written.
struct FlagAttribute {
  const char* name;
  std::uint32_t flag;
};
extern const FlagAttribute kFlagAttributes[12];

// Reads a room element: the text names the room unless a "name" attribute
// does; flags count when present, whatever their value.
RoomFields ReadRoomElement(const config::Element& element);

// The element of a room, with only what differs from the defaults beside
// "id", "name", "desc" and "src".
config::Element WriteRoomElement(const RoomRecord& room);

// The loose props of a room element's "prop" children, in order; a child
// without a readable "id" is skipped.
std::vector<LooseProp> ReadPropChildren(const config::Element& element);

}  // namespace zanth::rooms
