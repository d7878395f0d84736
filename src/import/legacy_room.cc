// The room description text of an imported room.
#include "import/legacy_room.h"

#include <cctype>

#include "core/log.h"
#include "platform/file.h"

namespace zanth::import {

std::string ConvertPictureName(std::string_view name, const std::string& media_dir) {
  if (name.size() < 4) return std::string(name);
  std::string extension(name.substr(name.size() - 3));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string converted(name.substr(0, name.size() - 3));
  std::string jpg = converted + "jpg";
  if (extension == "gif" && !platform::FileExists(media_dir + jpg)) return converted + "png";
  return jpg;
}

std::string RoomDescriptionText(const LegacyRoom& room) {
  std::string out = "<roomdesc background=" + room.background + ">\r";
  for (const LegacySpot& spot : room.spots) {
    out += FormatMessage("\t<spot id=%d poly=", spot.id);
    out += spot.outline;
    if (spot.destination != 0) {
      if (spot.flags & kSpotBolt) {
        out += FormatMessage(" lock trgt=%d", spot.destination);
      } else {
        out += FormatMessage(" pasg=%d", spot.destination);
      }
    }
    if (spot.flags & kSpotShowName) out += " title=\"" + spot.name + "\"";
    if (spot.flags & kSpotNoMove) out += " nomove";
    if (spot.flags & kSpotClosable) out += " closable";
    out += '>';
    for (std::size_t l = 0; l < spot.states.size(); ++l) {
      const LegacyState& state = spot.states[l];
      out += FormatMessage("\r\t\t<state id=%d>", static_cast<int>(l));
      for (const LegacyPicture& picture : room.pictures) {
        if (picture.id != state.picture) continue;
        out += "\r\t\t\t<img src=" + picture.file + " desc=" + picture.file;
        if (state.x != 0) out += FormatMessage(" xoffst=%d", state.x);
        if (state.y != 0) out += FormatMessage(" yoffst=%d", state.y);
        out += "></img>\r\t\t";
        break;
      }
      out += "</state>";
    }
    if (!spot.states.empty()) out += "\r\t";
    if (!spot.script.empty()) {
      out += "\r\t\t<script lang=iptscrae>\r";
      out += spot.script;
      out += "\r\t\t</script>\r\t";
    }
    out += "</spot>\r";
  }
  out += "</roomdesc>\r";
  return out;
}

}  // namespace zanth::import
