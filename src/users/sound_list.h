// The site's named sounds, kept in insertion order.
#pragma once

#include <string>
#include <vector>

namespace zanth::users {

struct SoundRecord {
  std::string name;  // at most 32 characters
  std::string file;  // at most 32 characters, a file in the media folder
};

class SoundList {
 public:
  void Add(std::string name, std::string file);
  void Clear() { sounds_.clear(); }
  const std::vector<SoundRecord>& sounds() const { return sounds_; }
  bool empty() const { return sounds_.empty(); }
  // "SdLs": count, record size 66, then name[33] and file[33] per sound.
  std::vector<std::uint8_t> ListPayload() const;
  // Replaces the list from an "SdLs" payload (its record size is ignored).
  void ReplaceFromPayload(const std::uint8_t* payload, std::size_t size);

 private:
  std::vector<SoundRecord> sounds_;
};

}  // namespace zanth::users
