// Message framing: a 12-byte header (magic, total length, type code) and a
// payload padded to 16 bytes, zlib-compressed above 1500 bytes when the
// receiver accepts it; and the parser that cuts a receive buffer into
// messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zanth::wire {

inline constexpr std::uint32_t kChatMagic = 0x4D644368;       // "MdCh"
inline constexpr std::uint32_t kDirectoryMagic = 0x58714472;  // "XqDr"
inline constexpr std::uint32_t kCompressedFlag = 0x80000000u;
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kCompressThreshold = 1500;
// The largest message, and the largest uncompressed payload, accepted from
// a peer.
inline constexpr std::size_t kMaxMessageSize = 1u << 20;

// The type code of four characters, read big-endian.
constexpr std::uint32_t TypeCode(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// The four characters of a type code (bit 31 cleared).
std::string TypeText(std::uint32_t type);

// Builds the wire form of one message into *out (replacing its contents).
// The payload is compressed when compress is true and it is longer than
// 1500 bytes; a compression failure sends it plain.
void FrameMessage(std::uint32_t magic, std::uint32_t type, const std::uint8_t* payload,
                  std::size_t size, bool compress, std::vector<std::uint8_t>* out);

enum class ParseError {
  kNone,
  kBadData,        // wrong magic, impossible length or size, or bad zlib data
  kNoMemory,       // the uncompressed payload could not be allocated
};

// Receives the messages cut from a buffer.
class MessageReceiver {
 public:
  virtual ~MessageReceiver() = default;
  // Called with each complete message's type (compressed flag cleared)
  // before its payload is read. false stops parsing and discards every
  // buffered byte (the receiver is terminating).
  virtual bool OnType(std::uint32_t /*type*/) { return true; }
  // One message; the payload includes the padding. false stops parsing and
  // discards every buffered byte.
  virtual bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                         bool compressed) = 0;
};

struct ParseOutcome {
  std::size_t consumed = 0;  // bytes to drop from the front of the buffer
  ParseError error = ParseError::kNone;
};

// Hands every complete message in data[0, used) to receiver, in order. An
// incomplete message stays (it is not consumed). On kBadData nothing after
// the bad message is read; the caller terminates the peer.
ParseOutcome ParseMessages(const std::uint8_t* data, std::size_t used, std::uint32_t magic,
                           MessageReceiver& receiver);

// Inflates a compressed payload whose uncompressed size is expected_size.
// Returns false when the stream is bad or does not have that size.
bool InflatePayload(const std::uint8_t* stream, std::size_t stream_size,
                    std::size_t expected_size, std::vector<std::uint8_t>* out);

}  // namespace zanth::wire
