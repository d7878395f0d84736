// The prop cache and its index file.
#include "props/prop_cache.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/result.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace zanth::props {
namespace {

std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A name of a file directly in a folder: not empty, not "." or "..", and
// without a separator.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

}  // namespace

int PropCache::Open(const std::string& index_path, const std::string& prop_dir,
                    std::string* problem) {
  index_path_ = index_path;
  prop_dir_ = prop_dir;
  entries_.clear();
  std::string bytes;
  int rc = platform::ReadWholeFile(index_path, &bytes);
  if (rc != 0 && rc != ENOENT) return rc;
  if (bytes.empty()) return Save();  // a new, empty index
  // A cut index would be written back without the props it no longer
  // shows, and their files would be left with no entry to find them by.
  std::string damage;
  if (bytes.size() < 4) {
    damage = "the file ends inside the count of props";
  } else {
    std::size_t count = LoadLe32(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    std::size_t present = (bytes.size() - 4) / kPropEntrySize;
    if (count > present) {
      damage = FormatMessage("the file holds %zu of its %zu props", present, count);
    }
  }
  if (!damage.empty()) {
    if (problem != nullptr) *problem = damage;
    return kFailed;
  }
  LoadIndex(bytes);
  return kOk;
}

void PropCache::LoadIndex(std::string_view bytes) {
  entries_.clear();
  if (bytes.size() < 4) return;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t count = LoadLe32(p);
  std::size_t present = (bytes.size() - 4) / kPropEntrySize;
  for (std::size_t i = 0; i < std::min(count, present); ++i) {
    const std::uint8_t* e = p + 4 + i * kPropEntrySize;
    PropCacheEntry entry;
    std::memcpy(entry.id.data(), e, entry.id.size());
    entry.stamp = static_cast<std::int32_t>(LoadLe32(e + 20));
    std::size_t n = 0;
    while (n < 67 && e[24 + n] != 0) ++n;
    entry.file_name.assign(reinterpret_cast<const char*>(e + 24), n);
    // Stores and purges write and delete prop folder + name; a damaged
    // index must not lead them outside the folder.
    if (!IsPlainFileName(entry.file_name)) {
      LogError(kParamErr, "prop cache entry with file name \"%s\" dropped",
               entry.file_name.c_str());
      continue;
    }
    entries_.push_back(std::move(entry));
  }
  LogDebug("Loaded %d props from index", static_cast<int>(entries_.size()));
}

int PropCache::Save() const {
  LogDebug("Saving prop cache index");
  std::string bytes(4 + entries_.size() * kPropEntrySize, '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(bytes.data());
  StoreLe32(p, static_cast<std::uint32_t>(entries_.size()));
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::uint8_t* e = p + 4 + i * kPropEntrySize;
    const PropCacheEntry& entry = entries_[i];
    std::memcpy(e, entry.id.data(), entry.id.size());
    StoreLe32(e + 20, static_cast<std::uint32_t>(entry.stamp));
    std::memcpy(e + 24, entry.file_name.data(), std::min<std::size_t>(entry.file_name.size(), 67));
  }
  // Replaced whole, so a crash never leaves a torn index.
  int rc = platform::WriteFileAtomically(index_path_, bytes);
  if (rc != 0) {
    LogError(rc, "writing prop data");
    return rc;
  }
  LogDebug("Wrote %d props", static_cast<int>(entries_.size()));
  return kOk;
}

const PropCacheEntry* PropCache::Find(const PropId& id) const {
  for (const PropCacheEntry& entry : entries_) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

PropCacheEntry* PropCache::FindMutable(const PropId& id) {
  for (PropCacheEntry& entry : entries_) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

bool PropCache::IsCurrent(const PropId& id, std::int32_t stamp) const {
  const PropCacheEntry* entry = Find(id);
  return entry != nullptr && entry->stamp >= stamp;
}

void PropCache::Acquire(const PropId& id) {
  if (!IsCustom(id)) return;
  if (PropCacheEntry* entry = FindMutable(id)) {
    if (entry->references < 0xFFFF) ++entry->references;
  }
}

void PropCache::Release(const PropId& id) {
  if (!IsCustom(id)) return;
  if (PropCacheEntry* entry = FindMutable(id); entry != nullptr && entry->references > 0) {
    --entry->references;
  }
}

void PropCache::ResetReferences(const PropId& id) {
  if (PropCacheEntry* entry = FindMutable(id)) entry->references = 0;
}

std::string PropCache::FreshFileName() const {
  // The time in hex names the file; a name that is taken, on disk or in the
  // index, moves on to the next number.
  auto base = static_cast<unsigned long>(platform::GetClock().WallSeconds());
  for (unsigned long n = base;; ++n) {
    std::string name = FormatMessage("%lx.prp", n);
    bool taken = platform::FileExists(prop_dir_ + name);
    for (const PropCacheEntry& entry : entries_) taken = taken || entry.file_name == name;
    if (!taken) return name;
  }
}

int PropCache::Store(const PropId& id, std::int32_t stamp, const std::uint8_t* data,
                     std::size_t size, std::string* file_name) {
  file_name->clear();
  if (!IsCustom(id) || size > kMaxPropSize) return kParamErr;
  LogDebug("Incoming prop ID");
  PropCacheEntry* entry = FindMutable(id);
  if (entry == nullptr) {
    LogDebug("Adding new prop to cache");
    PropCacheEntry fresh;
    fresh.id = id;
    fresh.file_name = FreshFileName();
    entries_.push_back(std::move(fresh));
    entry = &entries_.back();
    LogDebug("Prop cache grown");
  } else {
    LogDebug("Updating existing prop in cache");
  }
  entry->stamp = stamp;
  entry->references = 0;
  *file_name = entry->file_name;
  int rc = platform::WriteFileAtomically(prop_dir_ + entry->file_name,
                                         std::string(reinterpret_cast<const char*>(data), size));
  if (rc != 0) {
    LogError(rc, "writing prop to cache");
    return rc;
  }
  return Save();
}

int PropCache::Purge() {
  std::vector<PropCacheEntry> kept;
  int dropped = 0;
  for (PropCacheEntry& entry : entries_) {
    if (entry.references == 0) {
      (void)platform::RemoveFile(prop_dir_ + entry.file_name);
      ++dropped;
    } else {
      kept.push_back(std::move(entry));
    }
  }
  entries_ = std::move(kept);
  (void)Save();
  return dropped;
}

}  // namespace zanth::props
