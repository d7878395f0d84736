// Fuzz target: the ".rmz" room description reader, through the file of a
// room as the media purge reads it.
#include <cstdint>

#include "fuzz_support.h"
#include "rooms/room_files.h"

using namespace zanth;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  fuzz::WriteScratchFile("room.rmz", std::string_view(reinterpret_cast<const char*>(data), size));
  rooms::RoomFields fields;
  fields.id = 100;
  fields.name = "room";
  fields.file_name = "room.rmz";
  rooms::RoomRecord room(fields);
  std::string text = rooms::ReadRoomDescription(fuzz::ScratchDir(), room);
  (void)rooms::InflateRoomDescription(std::move(text));
  return 0;
}
