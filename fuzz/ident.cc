// Fuzz target: the ident record that signs a client on, against a site
// whose ban list, privacy and earlier connections the input chooses.
//
// Input: one set-up byte (bit 0: private site, bit 1: ban records, bit 2:
// the client-number record bans outright, bit 3: an earlier connection of
// the same client, bit 4: which may have several, bit 5: from 127.0.0.1,
// bit 6: verbose log), then the "Idn2" payload.
#include <cstdint>
#include <cstdlib>

#include "fuzz_site.h"
#include "fuzz_support.h"
#include "wire/framing.h"

using namespace zanth;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader in(data, size);
  std::uint8_t setup = in.U8();
  fuzz::QuietLog((setup & 0x40) != 0);
  fuzz::FuzzSite fs;
  protocol::Site& site = fs.site();
  // The earlier connection signs on before the site turns private or
  // bans its client.
  if (setup & 8) {
    client::Ident earlier;
    earlier.uuid = {0, 0, 0x1234, 0x5678};
    earlier.client_number = 77;
    earlier.nickname = "Earlier";
    users::UserRecord* user = fs.SignOn("10.0.0.3", earlier);
    if (user == nullptr) std::abort();
    if (setup & 0x10) user->group = 2;  // may hold several connections
  }
  site.settings.private_site = (setup & 1) != 0;
  if (setup & 2) {
    users::BanRecord by_number;
    by_number.name = "numbered";
    by_number.client_number = 77;
    by_number.flags = (setup & 4) != 0 ? users::kBanned : users::kGagged | users::kPinned;
    site.bans.AddFront(by_number);
    users::BanRecord by_uuid;
    by_uuid.name = "keyed";
    by_uuid.uuid[2] = 0x1234;
    by_uuid.uuid[3] = 0x5678;
    by_uuid.flags = users::kInTimeout | users::kNameGagged | users::kPropGagged;
    site.bans.AddFront(by_uuid);
  }
  users::UserRecord& user = fs.Accept((setup & 0x20) != 0 ? "127.0.0.1" : "10.0.0.4");
  std::uint32_t id = user.id;
  fs.Deliver(user, wire::TypeCode("Idn2"), in.Rest());
  fs.Pass();
  // A signed-on user then speaks once, as its first move would.
  if (users::UserRecord* signed_on = fs.Find(id)) {
    fs.Deliver(*signed_on, wire::TypeCode("Talk"), std::string_view("\x02hi", 3));
    fs.Pass();
  }
  return 0;
}
