// Fuzz target: the message parser with zlib inflation, and the framing it
// must agree with: every message it hands out, framed again (compressed
// when large), parses back to the same type and payload.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "wire/bytes.h"
#include "wire/framing.h"

using namespace zanth;

namespace {

struct Parsed {
  std::uint32_t type;
  std::vector<std::uint8_t> payload;
};

class Collector : public wire::MessageReceiver {
 public:
  explicit Collector(std::size_t stop_after) : stop_after_(stop_after) {}
  bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                 bool) override {
    messages.push_back({type, std::vector<std::uint8_t>(payload, payload + size)});
    return messages.size() < stop_after_;
  }
  std::vector<Parsed> messages;

 private:
  std::size_t stop_after_;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zanth-fuzz wire: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte: verbose log (hex dumps) and how many messages the
  // receiver takes before it stops the parse.
  fuzz::QuietLog((data[0] & 0x80) != 0);
  std::size_t stop_after = (data[0] & 0x0F) == 0 ? SIZE_MAX : data[0] & 0x0F;
  ++data;
  --size;

  Collector collector(stop_after);
  wire::ParseOutcome outcome =
      wire::ParseMessages(data, size, wire::kChatMagic, collector);
  if (outcome.consumed > size) Fail("consumed more than the buffer");
  if (outcome.error == wire::ParseError::kNone && collector.messages.size() < stop_after &&
      size - outcome.consumed > wire::kHeaderSize) {
    // A clean parse leaves at most one incomplete message behind.
    std::uint32_t length = wire::LoadU32(data + outcome.consumed + 4);
    if (length <= size - outcome.consumed) Fail("a complete message was left unparsed");
  }

  for (const Parsed& message : collector.messages) {
    for (bool compress : {false, true}) {
      std::vector<std::uint8_t> frame;
      wire::FrameMessage(wire::kChatMagic, message.type, message.payload.data(),
                             message.payload.size(), compress, &frame);
      Collector again(SIZE_MAX);
      wire::ParseOutcome round =
          wire::ParseMessages(frame.data(), frame.size(), wire::kChatMagic, again);
      if (round.error != wire::ParseError::kNone || round.consumed != frame.size() ||
          again.messages.size() != 1) {
        Fail("a framed message does not parse back");
      }
      const std::vector<std::uint8_t>& back = again.messages[0].payload;
      // The payload comes back padded to 16 bytes.
      if (again.messages[0].type != message.type || back.size() < message.payload.size() ||
          !std::equal(message.payload.begin(), message.payload.end(), back.begin())) {
        Fail("a framed message parses back different");
      }
    }
  }

  // The inflater alone, with the size the stream claims in its first bytes.
  if (size >= 4) {
    std::size_t expected = (static_cast<std::size_t>(data[0]) << 8 | data[1]) + 1;
    std::vector<std::uint8_t> out;
    (void)wire::InflatePayload(data + 2, size - 2, expected, &out);
  }
  return 0;
}
