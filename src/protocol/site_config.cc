// Rooms and sounds read from and written to the configuration file.
#include "protocol/site_config.h"

#include "core/log.h"
#include "rooms/room_element.h"
#include "rooms/room_state.h"

namespace zanth::protocol {

void SiteConfigHooks::ReadRoom(const config::Element& element) {
  rooms::RoomFields fields = rooms::ReadRoomElement(element);
  rooms::RoomRecord* room = nullptr;
  if (site_.rooms.Append(fields, &room) != 0) {
    LogError(0, "Failed to load room %s (%d)", fields.name.c_str(), fields.id);
    return;
  }
  rooms::RoomContext ctx = site_.room_context();
  for (const rooms::LooseProp& prop : rooms::ReadPropChildren(element)) {
    rooms::AddLooseProp(ctx, *room, prop.id, prop.x, prop.y);
  }
}

void SiteConfigHooks::ReadSound(const std::string& name, const std::string& file) {
  site_.sounds.Add(name, file);
}

void SiteConfigHooks::WriteSounds(std::vector<config::Element>* out) {
  for (const users::SoundRecord& sound : site_.sounds.sounds()) {
    config::Element e;
    e.name = "sound";
    e.text = sound.name;
    e.SetAttribute("src", sound.file);
    out->push_back(std::move(e));
  }
}

void SiteConfigHooks::WriteRooms(std::vector<config::Element>* out) {
  for (const rooms::RoomRecord& room : site_.rooms.rooms()) {
    out->push_back(rooms::WriteRoomElement(room));
  }
}

}  // namespace zanth::protocol
