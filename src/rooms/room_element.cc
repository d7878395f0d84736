// Room elements.
#include "rooms/room_element.h"

#include <string>

namespace zanth::rooms {
namespace {

std::string Trim(const std::string& text) {
  const char* space = " \t\r\n";
  std::size_t begin = text.find_first_not_of(space);
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(space);
  return text.substr(begin, end - begin + 1);
}

}  // namespace

const FlagAttribute kFlagAttributes[12] = {
    {"gate", kGate},           {"members", kMembers},   {"nocyborg", kNoCyborg},
    {"timeout", kTimeout},     {"private", kPrivate},   {"hidden", kHidden},
    {"staff", kStaff},         {"nolooseprops", kNoLooseProps}, {"nopaint", kNoPaint},
    {"nowhisper", kNoWhisper}, {"nospoof", kNoSpoof},   {"is3D", kIs3D},
};

RoomFields ReadRoomElement(const config::Element& element) {
  RoomFields fields;
  // The text around "prop" children is layout, not part of a name.
  fields.name = Trim(element.text);
  for (const auto& [name, value] : element.attributes) {
    if (name == "id") {
      fields.id = static_cast<std::uint16_t>(config::ParseNumber(value));
    } else if (name == "name") {
      fields.name = value;
    } else if (name == "maxocc") {
      fields.max_occupancy = static_cast<std::int16_t>(config::ParseNumber(value));
    } else if (name == "width") {
      fields.width = static_cast<std::int16_t>(config::ParseNumber(value));
    } else if (name == "height") {
      fields.height = static_cast<std::int16_t>(config::ParseNumber(value));
    } else if (name == "desc") {
      fields.description = value;
    } else if (name == "src") {
      fields.file_name = value;
    } else {
      for (const FlagAttribute& f : kFlagAttributes) {
        if (name == f.name) fields.flags |= f.flag;
      }
    }
  }
  return fields;
}

config::Element WriteRoomElement(const RoomRecord& room) {
  config::Element e;
  e.name = "room";
  e.SetAttribute("id", std::to_string(room.id));
  e.SetAttribute("name", room.name);
  if (room.max_occupancy != 16) e.SetAttribute("maxocc", std::to_string(room.max_occupancy));
  for (const FlagAttribute& f : kFlagAttributes) {
    if (room.Has(f.flag)) e.SetAttribute(f.name, "yes");
  }
  if (room.width != 512) e.SetAttribute("width", std::to_string(room.width));
  if (room.height != 384) e.SetAttribute("height", std::to_string(room.height));
  e.SetAttribute("desc", room.description);
  e.SetAttribute("src", room.file_name);
  for (const LooseProp& prop : room.loose_props) {
    config::Element child;
    child.name = "prop";
    child.SetAttribute("horz", std::to_string(prop.x));
    child.SetAttribute("vert", std::to_string(prop.y));
    child.SetAttribute("id", props::PropIdText(prop.id));
    e.children.push_back(std::move(child));
  }
  return e;
}

std::vector<LooseProp> ReadPropChildren(const config::Element& element) {
  std::vector<LooseProp> loose;
  for (const config::Element& child : element.children) {
    if (child.name != "prop") continue;
    LooseProp prop;
    const std::string* id = child.Attribute("id");
    if (id == nullptr || !props::ParsePropIdText(*id, &prop.id)) continue;
    if (const std::string* x = child.Attribute("horz")) {
      prop.x = static_cast<std::int16_t>(config::ParseNumber(*x));
    }
    if (const std::string* y = child.Attribute("vert")) {
      prop.y = static_cast<std::int16_t>(config::ParseNumber(*y));
    }
    loose.push_back(prop);
  }
  return loose;
}

}  // namespace zanth::rooms
