// The sound list.
#include "users/sound_list.h"

#include "core/log.h"
#include "wire/bytes.h"

namespace zanth::users {
namespace {
constexpr std::size_t kFieldSize = 33;
}

void SoundList::Add(std::string name, std::string file) {
  if (name.size() > kFieldSize - 1) name.resize(kFieldSize - 1);
  if (file.size() > kFieldSize - 1) file.resize(kFieldSize - 1);
  LogDebug("Adding sound %s", file.c_str());
  sounds_.push_back({std::move(name), std::move(file)});
}

std::vector<std::uint8_t> SoundList::ListPayload() const {
  wire::PayloadWriter w;
  w.U32(static_cast<std::uint32_t>(sounds_.size())).U32(2 * kFieldSize);
  for (const SoundRecord& s : sounds_) w.Fixed(s.name, kFieldSize).Fixed(s.file, kFieldSize);
  return std::move(w.bytes());
}

void SoundList::ReplaceFromPayload(const std::uint8_t* payload, std::size_t size) {
  wire::PayloadReader r(payload, size);
  std::uint32_t count = r.U32();
  r.Skip(4);
  sounds_.clear();
  for (std::uint32_t i = 0; i < count && r.remaining() >= 2 * kFieldSize; ++i) {
    std::string name = r.Fixed(kFieldSize);
    std::string file = r.Fixed(kFieldSize);
    Add(std::move(name), std::move(file));
  }
}

}  // namespace zanth::users
