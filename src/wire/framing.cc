// Message framing and parsing.
#include "wire/framing.h"

#include <zlib.h>

#include <new>

#include "core/hexdump.h"
#include "core/log.h"
#include "wire/bytes.h"

namespace zanth::wire {
namespace {

std::size_t RoundUp16(std::size_t n) { return (n + 15) & ~static_cast<std::size_t>(15); }

bool Compress(const std::uint8_t* payload, std::size_t size, std::vector<std::uint8_t>* out) {
  // Room for the worst case: the larger of zlib's own bound and a 0.2 % margin.
  auto margin = static_cast<std::size_t>(static_cast<double>(size) +
                                         static_cast<double>(size) * 0.002 + 12.0);
  std::size_t bound = compressBound(static_cast<uLong>(size));
  out->resize(margin > bound ? margin : bound);
  uLongf out_size = static_cast<uLongf>(out->size());
  if (compress(out->data(), &out_size, payload, static_cast<uLong>(size)) != Z_OK) return false;
  out->resize(out_size);
  return true;
}

}  // namespace

std::string TypeText(std::uint32_t type) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    text[static_cast<std::size_t>(i)] =
        static_cast<char>((type >> (24 - 8 * i)) & (i == 0 ? 0x7F : 0xFF));
  }
  return text;
}

void FrameMessage(std::uint32_t magic, std::uint32_t type, const std::uint8_t* payload,
                  std::size_t size, bool compress, std::vector<std::uint8_t>* out) {
  std::vector<std::uint8_t> packed;
  bool compressed = compress && size > kCompressThreshold && Compress(payload, size, &packed);
  std::size_t length = RoundUp16(compressed ? packed.size() + 16 : size + kHeaderSize);
  out->assign(length, 0);
  std::uint8_t* p = out->data();
  StoreU32(p, magic);
  StoreU32(p + 4, static_cast<std::uint32_t>(length));
  StoreU32(p + 8, compressed ? (type | kCompressedFlag) : type);
  if (compressed) {
    StoreU32(p + 12, static_cast<std::uint32_t>(size));
    std::memcpy(p + 16, packed.data(), packed.size());
  } else if (size > 0) {
    std::memcpy(p + kHeaderSize, payload, size);
  }
}

bool InflatePayload(const std::uint8_t* stream, std::size_t stream_size,
                    std::size_t expected_size, std::vector<std::uint8_t>* out) {
  out->resize(expected_size);
  uLongf out_size = static_cast<uLongf>(expected_size);
  int rc = uncompress(out->data(), &out_size, stream, static_cast<uLong>(stream_size));
  return rc == Z_OK && out_size == expected_size;
}

ParseOutcome ParseMessages(const std::uint8_t* data, std::size_t used, std::uint32_t magic,
                           MessageReceiver& receiver) {
  ParseOutcome outcome;
  if (used <= kHeaderSize) return outcome;
  if (LogVerbose()) {
    LogDebug("Processing received data");
    HexDump(data, used < 256 ? used : 256);
  }
  std::size_t pos = 0;
  std::vector<std::uint8_t> inflated;
  while (used - pos > kHeaderSize) {
    const std::uint8_t* message = data + pos;
    std::size_t available = used - pos;
    if (LogVerbose()) {
      LogDebug("Processing user message");
      HexDump(message, available < 256 ? available : 256);
    }
    if (LoadU32(message) != magic) {
      if (LogVerbose()) {
        LogDebug("Message que out of sync");
        HexDump(data, used < 256 ? used : 256);
      }
      outcome.error = ParseError::kBadData;
      outcome.consumed = used;
      return outcome;
    }
    std::uint32_t length = LoadU32(message + 4);
    std::uint32_t raw_type = LoadU32(message + 8);
    bool compressed = (raw_type & kCompressedFlag) != 0;
    std::uint32_t type = raw_type & ~kCompressedFlag;
    if (length < (compressed ? 16u : kHeaderSize) || length > kMaxMessageSize) {
      outcome.error = ParseError::kBadData;
      outcome.consumed = used;
      return outcome;
    }
    if (length > available) {
      LogDebug("Not all data in buffer. Have %d of %d bytes", static_cast<int>(available),
               static_cast<int>(length));
      break;
    }
    if (LogVerbose()) {
      LogDebug("Message = %.4s Length = %ld", TypeText(type).c_str(), static_cast<long>(length));
    }
    if (!receiver.OnType(type)) {
      outcome.consumed = used;
      return outcome;
    }
    const std::uint8_t* payload = message + kHeaderSize;
    std::size_t size = length - kHeaderSize;
    if (compressed) {
      std::uint32_t expected = LoadU32(message + 12);
      if (expected == 0 || expected > kMaxMessageSize) {
        outcome.error = ParseError::kBadData;
        outcome.consumed = used;
        return outcome;
      }
      try {
        inflated.reserve(expected);
      } catch (const std::bad_alloc&) {
        outcome.error = ParseError::kNoMemory;
        outcome.consumed = pos;  // the message stays at the head
        return outcome;
      }
      if (!InflatePayload(message + 16, length - 16, expected, &inflated)) {
        outcome.error = ParseError::kBadData;
        outcome.consumed = used;
        return outcome;
      }
      payload = inflated.data();
      size = inflated.size();
    }
    pos += length;
    if (!receiver.OnMessage(type, payload, size, compressed)) {
      outcome.consumed = used;
      return outcome;
    }
    if (used - pos > kHeaderSize) LogDebug("Processing multiple messages");
  }
  outcome.consumed = pos;
  return outcome;
}

}  // namespace zanth::wire
