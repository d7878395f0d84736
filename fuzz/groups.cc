// Fuzz target: the binary "groups" reader. The table read must survive a
// save and a reload, and its "GrLs" list, read by the project's client and
// sent back as a console's group list, must rebuild the same table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "client/decode.h"
#include "client/encode.h"
#include "fuzz_support.h"
#include "platform/file.h"
#include "users/group_table.h"

using namespace zanth;

namespace {

bool SameTable(const users::GroupTable& a, const users::GroupTable& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const users::GroupRecord& x = a.Get(static_cast<std::uint16_t>(i));
    const users::GroupRecord& y = b.Get(static_cast<std::uint16_t>(i));
    if (x.name != y.name || x.rank != y.rank || x.privileges != y.privileges ||
        x.commands != y.commands) {
      return false;
    }
  }
  return true;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz groups: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  users::GroupTable table;
  table.LoadBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (table.size() == 0 || table.size() > 0xFFFF) Fail("a table without group 0");

  std::string path = fuzz::ScratchDir() + "groups";
  std::string saved;
  if (table.Save(path) != 0 || platform::ReadWholeFile(path, &saved) != 0) Fail("cannot save");
  users::GroupTable reloaded;
  reloaded.LoadBytes(saved);
  if (!SameTable(table, reloaded)) Fail("a saved table reads back different");

  std::vector<client::Group> groups;
  if (!client::DecodeGroupList(table.ListPayload(), &groups)) Fail("the group list does not read");
  std::vector<std::uint8_t> list = client::EncodeGroupList(groups);
  users::GroupTable replaced;
  replaced.ReplaceFromPayload(list.data(), list.size());
  if (!SameTable(table, replaced)) Fail("the group list rebuilds a different table");
  return 0;
}
