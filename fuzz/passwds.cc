// Fuzz target: the "passwds" reader, XML and the older binary form. Each
// save and load reverses the order, so two rounds of saving and loading
// must give back the document first saved.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"
#include "platform/file.h"
#include "users/accounts.h"

using namespace zanth;

namespace {

std::string SaveAndRead(const users::AccountList& accounts, const users::GroupTable& groups,
                        const std::string& path) {
  std::string text;
  if (accounts.Save(path, groups) != 0 || platform::ReadWholeFile(path, &text) != 0) {
    std::fprintf(stderr, "zanth-fuzz passwds: cannot write %s\n", path.c_str());
    std::abort();
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietLog(false);
  users::GroupTable groups;
  users::AccountList accounts;
  config::ReadFailure failure;
  (void)accounts.LoadText(std::string_view(reinterpret_cast<const char*>(data), size), groups,
                          &failure);
  for (const users::AccountRecord& account : accounts.accounts()) {
    (void)accounts.Check(account.name, account.password);
  }
  std::vector<std::uint8_t> list = accounts.ListPayload();
  (void)accounts.ListLines(groups);

  std::string path = fuzz::ScratchDir() + "passwds";
  std::string first = SaveAndRead(accounts, groups, path);
  users::AccountList reversed;
  (void)reversed.Load(path, groups);
  (void)SaveAndRead(reversed, groups, path);
  users::AccountList again;
  (void)again.Load(path, groups);
  std::string third = SaveAndRead(again, groups, path);
  if (first != third) {
    std::fprintf(stderr, "zanth-fuzz passwds: saved accounts read back different\n"
                         "--- first\n%s--- third\n%s", first.c_str(), third.c_str());
    std::abort();
  }
  again.ReplaceFromPayload(list.data(), list.size());
  return 0;
}
