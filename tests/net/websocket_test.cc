// The WebSocket frame layer: the incremental frame decoder and the link's
// replies.
#include "net/websocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace zanth::net {
namespace {

using Bytes = std::vector<std::uint8_t>;


Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A client frame. length_form forces the 16-bit (126) or 64-bit (127)
// length field; 0 picks the shortest.
Bytes ClientFrame(std::uint8_t first_byte, const Bytes& payload, bool masked = true,
                  int length_form = 0, std::uint64_t declared = UINT64_MAX) {
  std::uint64_t length = declared == UINT64_MAX ? payload.size() : declared;
  Bytes f{first_byte};
  std::uint8_t mask_bit = masked ? 0x80 : 0;
  if (length_form == 0 && length < 126) {
    f.push_back(static_cast<std::uint8_t>(mask_bit | length));
  } else if (length_form == 126 || (length_form == 0 && length <= 0xFFFF)) {
    f.push_back(mask_bit | 126);
    f.push_back(static_cast<std::uint8_t>(length >> 8));
    f.push_back(static_cast<std::uint8_t>(length));
  } else {
    f.push_back(mask_bit | 127);
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  }
  const std::uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
  if (masked) f.insert(f.end(), mask, mask + 4);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    f.push_back(masked ? payload[i] ^ mask[i % 4] : payload[i]);
  }
  return f;
}

constexpr std::uint8_t kFin = 0x80;

// What a decoder made of a byte stream fed in pieces.
struct Decoded {
  Bytes payload;
  std::vector<FrameDecoder::Event> events;
  std::vector<Bytes> controls;
  std::uint16_t error = 0;
};

Decoded DecodeInPieces(const Bytes& wire, const std::vector<std::size_t>& cuts) {
  FrameDecoder decoder;
  Decoded out;
  std::size_t start = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(wire.size());
  for (std::size_t end : ends) {
    Bytes piece(wire.begin() + static_cast<std::ptrdiff_t>(start),
                wire.begin() + static_cast<std::ptrdiff_t>(end));
    std::size_t read = 0;
    while (read < piece.size()) {
      Bytes sink(piece.size());
      FrameDecoder::Step s = decoder.Decode(piece.data() + read, piece.size() - read, sink.data());
      EXPECT_GT(s.consumed, 0u);
      if (s.consumed == 0) break;
      read += s.consumed;
      out.payload.insert(out.payload.end(), sink.begin(),
                         sink.begin() + static_cast<std::ptrdiff_t>(s.payload));
      if (s.event != FrameDecoder::Event::kNone) {
        out.events.push_back(s.event);
        out.controls.emplace_back(decoder.control_payload(),
                                  decoder.control_payload() + decoder.control_size());
      }
    }
    start = end;
  }
  out.error = decoder.error_code();
  return out;
}

Decoded DecodeWhole(const Bytes& wire) { return DecodeInPieces(wire, {}); }

TEST(FrameDecoderTest, LengthsInEveryFormStreamTheirPayload) {
  for (std::size_t size : {0u, 1u, 125u, 126u, 127u, 65535u, 65536u, 70000u}) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Bytes wire = ClientFrame(kFin | kOpBinary, payload);
    std::size_t header = wire.size() - size;
    EXPECT_EQ(size < 126 ? 6u : size <= 0xFFFF ? 8u : 14u, header) << size;
    Decoded d = DecodeWhole(wire);
    EXPECT_EQ(payload, d.payload) << size;
    EXPECT_TRUE(d.events.empty());
    EXPECT_EQ(0, d.error);
  }
}

TEST(FrameDecoderTest, EverySplitOfAMixedStreamDecodesTheSame) {
  Bytes big(300);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  Bytes wire = ClientFrame(kFin | kOpBinary, Of("hello"));
  for (const Bytes& f : {ClientFrame(kFin | kOpPing, Of("p!")),
                         ClientFrame(kOpBinary, Bytes(big.begin(), big.begin() + 200)),
                         ClientFrame(kFin | kOpPong, {}),  // between fragments
                         ClientFrame(kOpContinuation, {}),
                         ClientFrame(kFin | kOpContinuation, Bytes(big.begin() + 200, big.end())),
                         ClientFrame(kFin | kOpClose, {0x03, 0xE8, 'b', 'y', 'e'})}) {
    wire.insert(wire.end(), f.begin(), f.end());
  }
  Bytes want = Of("hello");
  want.insert(want.end(), big.begin(), big.end());
  using E = FrameDecoder::Event;
  const std::vector<E> kEvents = {E::kPing, E::kPong, E::kClose};
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    Decoded d = DecodeInPieces(wire, {cut});
    ASSERT_EQ(want, d.payload) << "cut at " << cut;
    ASSERT_EQ(kEvents, d.events) << "cut at " << cut;
    EXPECT_EQ(Of("p!"), d.controls[0]);
    EXPECT_EQ(Bytes({0x03, 0xE8, 'b', 'y', 'e'}), d.controls[2]);
  }
  // And byte by byte.
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < wire.size(); ++i) cuts.push_back(i);
  EXPECT_EQ(want, DecodeInPieces(wire, cuts).payload);
}

TEST(FrameDecoderTest, ProtocolErrorsGiveTheirCloseCode) {
  Bytes long_ping(126, 'x');
  struct Case {
    const char* what;
    Bytes wire;
    std::uint16_t code;
  };
  Bytes start = ClientFrame(kOpBinary, Of("ab"));
  auto after_start = [&](const Bytes& f) {
    Bytes w = start;
    w.insert(w.end(), f.begin(), f.end());
    return w;
  };
  const Case kCases[] = {
      {"unmasked", ClientFrame(kFin | kOpBinary, Of("x"), false), kCloseProtocolError},
      {"text", ClientFrame(kFin | kOpText, Of("x")), kCloseUnsupportedData},
      {"reserved bit", ClientFrame(kFin | 0x40 | kOpBinary, Of("x")), kCloseProtocolError},
      {"opcode 3", ClientFrame(kFin | 0x3, Of("x")), kCloseProtocolError},
      {"opcode 0xB", ClientFrame(kFin | 0xB, {}), kCloseProtocolError},
      {"long ping", ClientFrame(kFin | kOpPing, long_ping), kCloseProtocolError},
      {"fragmented ping", ClientFrame(kOpPing, Of("x")), kCloseProtocolError},
      {"lone continuation", ClientFrame(kFin | kOpContinuation, Of("x")), kCloseProtocolError},
      {"binary inside a message", after_start(ClientFrame(kFin | kOpBinary, Of("x"))),
       kCloseProtocolError},
      {"16-bit length under 126", ClientFrame(kFin | kOpBinary, Of("x"), true, 126),
       kCloseProtocolError},
      {"64-bit length under 65536", ClientFrame(kFin | kOpBinary, Of("x"), true, 127),
       kCloseProtocolError},
      {"64-bit length with the top bit", ClientFrame(kFin | kOpBinary, {}, true, 127, 1ull << 63),
       kCloseProtocolError},
      {"close with one byte", ClientFrame(kFin | kOpClose, {0x03}), kCloseProtocolError},
  };
  for (const Case& c : kCases) {
    Bytes wire = c.wire;
    Bytes trailer = ClientFrame(kFin | kOpBinary, Of("after"));
    wire.insert(wire.end(), trailer.begin(), trailer.end());
    Decoded d = DecodeWhole(wire);
    EXPECT_EQ(c.code, d.error) << c.what;
    ASSERT_FALSE(d.events.empty()) << c.what;
    EXPECT_EQ(FrameDecoder::Event::kError, d.events.back()) << c.what;
    // Nothing after the error is decoded.
    EXPECT_EQ(std::string::npos, std::string(d.payload.begin(), d.payload.end()).find("after"))
        << c.what;
  }
}

TEST(FrameDecoderTest, HugeDeclaredLengthStreamsWithoutHoldingTheFrame) {
  Bytes wire = ClientFrame(kFin | kOpBinary, {}, true, 127, 1ull << 62);
  Bytes chunk(4096, 0x5A);
  for (int i = 0; i < 4; ++i) wire.insert(wire.end(), chunk.begin(), chunk.end());
  FrameDecoder decoder;
  Bytes out(wire.size());
  FrameDecoder::Step s = decoder.Decode(wire.data(), wire.size(), out.data());
  EXPECT_EQ(wire.size(), s.consumed);
  EXPECT_EQ(4u * 4096, s.payload);
  EXPECT_EQ(FrameDecoder::Event::kNone, s.event);
  EXPECT_FALSE(decoder.failed());
  EXPECT_EQ(0x5A ^ 0x37, out[0]);  // unmasked with the frame's key
}

TEST(WebSocketLinkTest, DecodesInPlaceAndAnswersOnlyTheLatestPing) {
  WebSocketLink link("HELLO");
  EXPECT_EQ(5u, link.pending_size());
  link.Sent(5);
  EXPECT_FALSE(link.has_pending());
  Bytes wire = ClientFrame(kOpBinary, Of("abc"));
  for (const Bytes& f :
       {ClientFrame(kFin | kOpPing, Of("one")), ClientFrame(kFin | kOpPing, Of("two")),
        ClientFrame(kFin | kOpContinuation, Of("def"))}) {
    wire.insert(wire.end(), f.begin(), f.end());
  }
  std::size_t n = link.Receive(wire.data(), wire.size());
  EXPECT_EQ("abcdef", std::string(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n)));
  std::uint8_t frame[kMaxFrameHeader + kMaxControlPayload];
  EXPECT_EQ(5u, link.queued());
  std::size_t size = link.NextControlFrame(frame);
  EXPECT_EQ(Bytes({kFin | kOpPong, 3, 't', 'w', 'o'}), Bytes(frame, frame + size));
  EXPECT_EQ(0u, link.NextControlFrame(frame));
  EXPECT_TRUE(link.open());
}

TEST(WebSocketLinkTest, CloseIsEchoedAndEndsTheLinkOnceSent) {
  WebSocketLink link("");
  Bytes wire = ClientFrame(kFin | kOpBinary, Of("kept"));
  for (const Bytes& f :
       {ClientFrame(kFin | kOpClose, {0x03, 0xE9, 'g', 'o'}),
        ClientFrame(kFin | kOpBinary, Of("dropped")), ClientFrame(kFin | kOpPing, Of("late"))}) {
    wire.insert(wire.end(), f.begin(), f.end());
  }
  std::size_t n = link.Receive(wire.data(), wire.size());
  EXPECT_EQ("kept", std::string(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n)));
  EXPECT_FALSE(link.open());
  EXPECT_FALSE(link.failed());
  Bytes more = ClientFrame(kFin | kOpBinary, Of("x"));
  EXPECT_EQ(0u, link.Receive(more.data(), more.size()));
  std::uint8_t frame[kMaxFrameHeader + kMaxControlPayload];
  std::size_t size = link.NextControlFrame(frame);
  EXPECT_EQ(Bytes({kFin | kOpClose, 2, 0x03, 0xE9}), Bytes(frame, frame + size));
  // A part-sent close frame keeps the link alive until its rest is out.
  link.Keep(frame + 1, size - 1);
  EXPECT_FALSE(link.finished());
  EXPECT_EQ(3u, link.queued());
  link.Sent(3);
  EXPECT_TRUE(link.finished());
  EXPECT_EQ(0u, link.NextControlFrame(frame));
}

}  // namespace
}  // namespace zanth::net
