// Fuzz target: the binary "banlist" reader. The records read must survive a
// save and a reload (which reverses their order), and the console's "BnLs"
// list must apply cleanly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "users/ban_list.h"

using namespace zanth;

namespace {

bool SameRecord(const users::BanRecord& a, const users::BanRecord& b) {
  return a.name == b.name && std::memcmp(a.uuid, b.uuid, sizeof a.uuid) == 0 &&
         a.client_number == b.client_number &&
         std::memcmp(a.reserved, b.reserved, sizeof a.reserved) == 0 && a.zero == b.zero &&
         a.flags == b.flags;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz banlist: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  users::BanList bans;
  bans.LoadBytes(std::string_view(reinterpret_cast<const char*>(data), size));

  std::string path = fuzz::ScratchDir() + "banlist";
  if (bans.Save(path) != 0) Fail("cannot save");
  users::BanList reloaded;
  reloaded.Load(path);
  if (reloaded.records().size() != bans.records().size()) Fail("a record was lost or made up");
  std::size_t count = bans.records().size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!SameRecord(bans.records()[i], reloaded.records()[count - 1 - i])) {
      Fail("a saved record reads back different");
    }
  }

  users::UserRecord user;
  for (const users::BanRecord& record : bans.records()) {
    std::memcpy(user.uuid, record.uuid, sizeof user.uuid);
    user.client_number = record.client_number;
    std::uint32_t measures = 0;
    (void)bans.Check(user, &measures);
  }
  std::vector<std::uint8_t> list = bans.ListPayload();
  bans.ApplyFromPayload(list.data(), list.size());
  return 0;
}
