// Fuzz target: the "propcache.idx" reader, through the file as the server
// opens it. The entries read must survive a save and a reopen, and the
// reference counting and storing must work on whatever was read, inside
// the prop folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "platform/file.h"
#include "props/prop_cache.h"

using namespace zanth;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz propcache: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  fuzz::ResetScratchDir({"props"});
  std::string path = fuzz::WriteScratchFile(
      "propcache.idx", std::string_view(reinterpret_cast<const char*>(data), size));
  std::string prop_dir = fuzz::ScratchDir() + "props/";
  props::PropCache cache;
  std::string problem;
  if (int rc = cache.Open(path, prop_dir, &problem); rc != 0) {
    // A cut index is refused and left as it was.
    std::string after;
    if (rc != -1 || problem.empty()) Fail("cannot open the index");
    if (platform::ReadWholeFile(path, &after) != 0 ||
        after != std::string_view(reinterpret_cast<const char*>(data), size)) {
      Fail("a refused index was written");
    }
    return 0;
  }

  props::PropCache reopened;
  if (cache.Save() != 0 || reopened.Open(path, prop_dir) != 0) Fail("cannot save the index");
  if (reopened.entries().size() != cache.entries().size()) Fail("an entry was lost or made up");
  for (std::size_t i = 0; i < cache.entries().size(); ++i) {
    const props::PropCacheEntry& a = cache.entries()[i];
    const props::PropCacheEntry& b = reopened.entries()[i];
    if (a.id != b.id || a.stamp != b.stamp || a.file_name != b.file_name) {
      Fail("a saved entry reads back different");
    }
  }

  // Every cached prop is found, acquired twice and released once; a store
  // of the first one then keeps its name, and a purge keeps only it.
  for (const props::PropCacheEntry& entry : cache.entries()) {
    const std::string& name = entry.file_name;
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos) {
      Fail("an entry names a file outside the prop folder");
    }
    (void)cache.IsCurrent(entry.id, entry.stamp);
    cache.Acquire(entry.id);
    cache.Acquire(entry.id);
    cache.Release(entry.id);
  }
  if (!cache.entries().empty() && props::IsCustom(cache.entries()[0].id)) {
    props::PropCacheEntry first = cache.entries()[0];
    std::string name;
    std::int32_t newer = static_cast<std::int32_t>(static_cast<std::uint32_t>(first.stamp) + 1);
    if (cache.Store(first.id, newer, data, size < 64 ? size : 64, &name) == 0 &&
        name != first.file_name) {
      Fail("a stored prop changed its file name");
    }
    cache.Acquire(first.id);
  }
  (void)cache.Purge();
  return 0;
}
