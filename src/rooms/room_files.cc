// Room description files and the media purge.
#include "rooms/room_files.h"

#include <zlib.h>

#include <set>
#include <vector>

#include "platform/file.h"
#include "wire/bytes.h"

namespace zanth::rooms {
namespace {

// The text after the last "/", or the whole text.
std::string FilePart(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string ReadRoomDescription(const std::string& media_dir, const RoomRecord& room) {
  std::string raw;
  if (platform::ReadWholeFile(media_dir + room.file_name, &raw) != 0) return "";
  if (!EndsWith(room.file_name, ".rmz")) return raw;
  return InflateRoomDescription(std::move(raw));
}

std::string InflateRoomDescription(std::string raw) {
  if (raw.size() < 8 || raw.compare(0, 4, "rmz ") != 0) return raw;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw.data());
  std::uint32_t length = wire::LoadU32(bytes + 4);
  // A length past what a sane description holds is damage, not a size to
  // allocate.
  if (length > (64u << 20)) return raw;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length) + 2, 0);
  uLongf out_size = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &out_size, bytes + 8, static_cast<uLong>(raw.size() - 8)) != Z_OK) {
    return raw;
  }
  return std::string(reinterpret_cast<const char*>(out.data()), out_size);
}

int PurgeMedia(const Settings& settings, const RoomRegistry& rooms,
               const users::SoundList& sounds) {
  std::vector<std::string> names;
  if (platform::ListDirectory(settings.media_dir, &names) != 0) return 0;
  std::set<std::string> kept = {FilePart(settings.profile_file), FilePart(settings.site_image)};
  for (const RoomRecord& room : rooms.rooms()) kept.insert(room.file_name);
  for (const users::SoundRecord& sound : sounds.sounds()) kept.insert(sound.file);
  for (const RoomRecord& room : rooms.rooms()) {
    std::string content = ReadRoomDescription(settings.media_dir, room);
    for (const std::string& name : names) {
      if (content.find(name) != std::string::npos) kept.insert(name);
    }
  }
  int deleted = 0;
  for (const std::string& name : names) {
    if (kept.count(name) != 0) continue;
    if (platform::RemoveFile(settings.media_dir + name) == 0) ++deleted;
  }
  return deleted;
}

}  // namespace zanth::rooms
