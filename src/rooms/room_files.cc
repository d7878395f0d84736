// Room description files and the media purge.
#include "rooms/room_files.h"

#include <zlib.h>

#include <cerrno>
#include <set>
#include <vector>

#include "core/log.h"
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
  std::string content;
  (void)ReadRoomDescription(media_dir, room, &content);
  return content;
}

int ReadRoomDescription(const std::string& media_dir, const RoomRecord& room,
                        std::string* content) {
  content->clear();
  if (room.file_name.empty()) return 0;
  std::string raw;
  int rc = platform::ReadWholeFile(media_dir + room.file_name, &raw);
  // Names under which no file can be: the room has no description.
  if (rc == ENOENT || rc == ENOTDIR || rc == EISDIR || rc == ENAMETOOLONG) return 0;
  if (rc != 0) return rc;
  *content = EndsWith(room.file_name, ".rmz") ? InflateRoomDescription(std::move(raw))
                                              : std::move(raw);
  return 0;
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
               const users::SoundList& sounds, int* deleted) {
  *deleted = 0;
  std::vector<std::string> names;
  if (platform::ListDirectory(settings.media_dir, &names) != 0) return 0;
  std::set<std::string> kept = {FilePart(settings.profile_file), FilePart(settings.site_image)};
  for (const RoomRecord& room : rooms.rooms()) kept.insert(room.file_name);
  for (const users::SoundRecord& sound : sounds.sounds()) kept.insert(sound.file);
  for (const RoomRecord& room : rooms.rooms()) {
    std::string content;
    if (int rc = ReadRoomDescription(settings.media_dir, room, &content); rc != 0) {
      LogError(rc, "reading %s%s: no media purged", settings.media_dir.c_str(),
               room.file_name.c_str());
      return rc;
    }
    for (const std::string& name : names) {
      if (content.find(name) != std::string::npos) kept.insert(name);
    }
  }
  for (const std::string& name : names) {
    if (kept.count(name) != 0) continue;
    if (platform::RemoveFile(settings.media_dir + name) == 0) ++*deleted;
  }
  return 0;
}

}  // namespace zanth::rooms
