// The prop cache: uploaded custom props kept as "%lx.prp" files in the prop
// folder, the "propcache.idx" index, and reference counts of the props in
// use (users' prop lists and loose props).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "props/prop_id.h"

namespace zanth::props {

inline constexpr std::size_t kPropEntrySize = 92;
inline constexpr std::size_t kMaxPropSize = 1u << 20;

struct PropCacheEntry {
  PropId id{};
  std::int32_t stamp = 0;
  std::string file_name;  // in the prop folder, at most 67 characters
  std::uint16_t references = 0;
};

class PropCache {
 public:
  // Reads the index (an empty or missing file is an empty cache, written
  // back at once). Returns 0; the system error when the index can be
  // neither read nor created; or kFailed, with *problem (may be nullptr)
  // saying why, when the file is too short for its count (or its count
  // field). A file that fails is never written: the caller must not go on
  // with this cache. Bytes past the entries counted are left over from
  // longer indexes and are ignored.
  int Open(const std::string& index_path, const std::string& prop_dir,
           std::string* problem = nullptr);
  // Replaces the entries from the bytes of an index file; fewer than 4
  // bytes hold no entries. A count past the entries present yields the
  // entries present; an entry whose file name is not a plain name in the
  // prop folder (empty, ".", "..", or with a separator) is dropped.
  void LoadIndex(std::string_view bytes);
  // Writes the whole index atomically. Returns 0 or the error.
  int Save() const;

  bool IsCurrent(const PropId& id, std::int32_t stamp) const;
  // The entry of id, or nullptr.
  const PropCacheEntry* Find(const PropId& id) const;
  void Acquire(const PropId& id);
  void Release(const PropId& id);
  // Sets a cached prop's reference count (the count is rebuilt after an
  // upload).
  void ResetReferences(const PropId& id);

  // Stores an upload, keeping the file name of a cached prop; a new prop
  // gets a fresh name. *file_name gets the name. Returns 0, kParamErr for a
  // standard prop or data over the size limit, or the error of a failed
  // file write (logged "writing prop to cache").
  int Store(const PropId& id, std::int32_t stamp, const std::uint8_t* data, std::size_t size,
            std::string* file_name);

  // Drops every prop with no references and deletes its file. Returns how
  // many were dropped.
  int Purge();

  const std::vector<PropCacheEntry>& entries() const { return entries_; }
  const std::string& prop_dir() const { return prop_dir_; }
  // The folder of the prop files, once the configuration has named it.
  void set_prop_dir(std::string dir) { prop_dir_ = std::move(dir); }

 private:
  PropCacheEntry* FindMutable(const PropId& id);
  std::string FreshFileName() const;

  std::string index_path_;
  std::string prop_dir_;
  std::vector<PropCacheEntry> entries_;
};

}  // namespace zanth::props
