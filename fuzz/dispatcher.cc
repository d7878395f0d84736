// Fuzz target: every client message handler, reached through the framing
// parser and the dispatcher, from a signed-on user with a second user
// beside it.
//
// Input: one set-up byte (bits 0-1: the user's group, bit 2: verbose log,
// bit 3: the user accepts compressed messages), then messages, each a type
// code (4 bytes), a word (bit 15: compress when framing, bit 14: sent by
// the other user, bits 0-13: payload length) and the payload. A type code
// of zero moves the clock by the length in seconds instead. One dispatcher
// pass follows every message.
#include <cstdint>
#include <cstdlib>

#include "fuzz_site.h"
#include "fuzz_support.h"

using namespace zanth;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader in(data, size);
  std::uint8_t setup = in.U8();
  fuzz::QuietLog((setup & 4) != 0);
  fuzz::FuzzSite fs;

  client::Ident other_ident;
  other_ident.uuid = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  other_ident.nickname = "Other";
  users::UserRecord* other = fs.SignOn("10.0.0.2", other_ident);
  client::Ident ident;
  ident.uuid = {0x55555555, 0x66666666, 0x77777777, 0x88888888};
  ident.nickname = "Fuzzer";
  ident.capabilities = (setup & 8) != 0 ? client::kAcceptsCompressed : 0;
  users::UserRecord* user = fs.SignOn("10.0.0.1", ident);
  if (other == nullptr || user == nullptr) std::abort();  // the fixture itself is broken
  user->group = static_cast<std::uint16_t>(setup & 3);
  const std::uint32_t user_id = user->id;
  const std::uint32_t other_id = other->id;

  while (in.remaining() >= 6) {
    std::uint32_t type = in.U32();
    std::uint16_t word = in.U16();
    std::string_view payload = in.Bytes(word & 0x3FFF);
    if (type == 0) {
      fs.clock().Advance(word & 0x3FFF);
    } else {
      users::UserRecord* sender = fs.Find((word & 0x4000) != 0 ? other_id : user_id);
      if (sender == nullptr) continue;
      fs.Deliver(*sender, type, payload, (word & 0x8000) != 0);
    }
    fs.Pass();
    if (fs.Find(user_id) == nullptr && fs.Find(other_id) == nullptr) break;
  }
  return 0;
}
