// Framing and parsing of messages.
#include "wire/framing.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "wire/bytes.h"

namespace zanth::wire {
namespace {

using testing::FromHex;
using testing::ToHex;

struct Received {
  std::uint32_t type;
  std::vector<std::uint8_t> payload;
  bool compressed;
};

class Collector : public MessageReceiver {
 public:
  bool OnType(std::uint32_t type) override {
    types.push_back(type);
    return stop_at_type == 0 || type != stop_at_type;
  }
  bool OnMessage(std::uint32_t type, const std::uint8_t* payload, std::size_t size,
                 bool compressed) override {
    messages.push_back({type, std::vector<std::uint8_t>(payload, payload + size), compressed});
    return true;
  }
  std::vector<std::uint32_t> types;
  std::vector<Received> messages;
  std::uint32_t stop_at_type = 0;
};

std::vector<std::uint8_t> Frame(const char (&type)[5], const std::vector<std::uint8_t>& payload,
                                bool compress = false) {
  std::vector<std::uint8_t> out;
  FrameMessage(kChatMagic, TypeCode(type), payload.data(), payload.size(), compress, &out);
  return out;
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(FrameTest, FramesMatchVectors) {
  const auto& frames = testing::ProtocolVectors()["frames"];
  ASSERT_FALSE(frames.empty());
  for (const auto& f : frames) {
    std::string type = f["type"];
    std::vector<std::uint8_t> payload = FromHex(f["payload_hex"]);
    std::vector<std::uint8_t> out;
    char code[5] = {};
    type.copy(code, 4);
    FrameMessage(kChatMagic, TypeCode({code[0], code[1], code[2], code[3], 0}), payload.data(),
                 payload.size(), true, &out);
    EXPECT_EQ(f["frame_hex"].get<std::string>(), ToHex(out)) << type;
  }
}

TEST(FrameTest, PayloadSizesRoundUpToSixteen) {
  EXPECT_EQ(16u, Frame("Ping", {}).size());
  EXPECT_EQ(16u, Frame("Talk", {1, 2, 3, 4}).size());
  EXPECT_EQ(32u, Frame("Talk", {1, 2, 3, 4, 5}).size());
  EXPECT_EQ("4d6443680000001050696e6700000000", ToHex(Frame("Ping", {})));
}

TEST(FrameTest, CompressesOnlyAbove1500BytesWhenAllowed) {
  std::vector<std::uint8_t> big(1501, 'a');
  std::vector<std::uint8_t> out = Frame("Data", big, true);
  EXPECT_EQ(kCompressedFlag | TypeCode("Data"), LoadU32(out.data() + 8));
  EXPECT_EQ(1501u, LoadU32(out.data() + 12));
  EXPECT_EQ(0u, out.size() % 16);
  EXPECT_LT(out.size(), 200u);

  EXPECT_EQ(TypeCode("Data"), LoadU32(Frame("Data", big, false).data() + 8));
  std::vector<std::uint8_t> limit(1500, 'a');
  std::vector<std::uint8_t> plain = Frame("Data", limit, true);
  EXPECT_EQ(TypeCode("Data"), LoadU32(plain.data() + 8));
  EXPECT_EQ(1520u, plain.size());
}

TEST(ParseTest, CompressedMessageRoundTrips) {
  std::vector<std::uint8_t> big(5000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i % 251);
  std::vector<std::uint8_t> wire = Frame("Data", big, true);
  Collector c;
  ParseOutcome outcome = ParseMessages(wire.data(), wire.size(), kChatMagic, c);
  EXPECT_EQ(ParseError::kNone, outcome.error);
  EXPECT_EQ(wire.size(), outcome.consumed);
  ASSERT_EQ(1u, c.messages.size());
  EXPECT_TRUE(c.messages[0].compressed);
  EXPECT_EQ(TypeCode("Data"), c.messages[0].type);
  EXPECT_EQ(big, c.messages[0].payload);
}

TEST(ParseTest, TwoAndAHalfMessagesDispatchTwoAndKeepTheHalf) {
  std::vector<std::uint8_t> third = Frame("UsMv", {0, 1, 0, 2});
  std::vector<std::uint8_t> buffer = Concat(
      {Frame("Talk", {5, 'h', 'e', 'l', 'l', 'o'}), Frame("Ping", {}), third});
  buffer.resize(buffer.size() - 8);
  Collector c;
  ParseOutcome outcome = ParseMessages(buffer.data(), buffer.size(), kChatMagic, c);
  EXPECT_EQ(ParseError::kNone, outcome.error);
  ASSERT_EQ(2u, c.messages.size());
  EXPECT_EQ(TypeCode("Talk"), c.messages[0].type);
  EXPECT_EQ(20u, c.messages[0].payload.size());  // padding included
  EXPECT_EQ(TypeCode("Ping"), c.messages[1].type);
  EXPECT_EQ(48u, outcome.consumed);
}

TEST(ParseTest, EveryTruncationParsesOnlyCompleteMessages) {
  std::vector<std::uint8_t> a = Frame("Talk", std::vector<std::uint8_t>(40, 'x'));
  std::vector<std::uint8_t> b = Frame("Data", std::vector<std::uint8_t>(3000, 'y'), true);
  std::vector<std::uint8_t> all = Concat({a, b});
  for (std::size_t cut = 0; cut <= all.size(); ++cut) {
    Collector c;
    ParseOutcome outcome = ParseMessages(all.data(), cut, kChatMagic, c);
    ASSERT_EQ(ParseError::kNone, outcome.error) << cut;
    std::size_t expected = cut >= all.size() ? 2 : (cut >= a.size() ? 1 : 0);
    ASSERT_EQ(expected, c.messages.size()) << cut;
    ASSERT_EQ(expected == 2 ? all.size() : expected == 1 ? a.size() : 0, outcome.consumed);
  }
}

TEST(ParseTest, TwelveBytesParseNothing) {
  std::vector<std::uint8_t> ping = Frame("Ping", {});
  Collector c;
  ParseOutcome outcome = ParseMessages(ping.data(), 12, kChatMagic, c);
  EXPECT_EQ(0u, outcome.consumed);
  EXPECT_TRUE(c.types.empty());
}

TEST(ParseTest, BadDataIsRefusedAndNothingAfterItIsRead) {
  auto expect_bad = [](std::vector<std::uint8_t> buffer, const char* what) {
    Collector c;
    ParseOutcome outcome = ParseMessages(buffer.data(), buffer.size(), kChatMagic, c);
    EXPECT_EQ(ParseError::kBadData, outcome.error) << what;
    EXPECT_EQ(buffer.size(), outcome.consumed) << what;
    EXPECT_TRUE(c.messages.empty()) << what;
  };
  std::vector<std::uint8_t> ping = Frame("Ping", {});

  std::vector<std::uint8_t> wrong_magic = ping;
  wrong_magic[0] = 'X';
  expect_bad(Concat({wrong_magic, ping}), "wrong magic");

  std::vector<std::uint8_t> short_length = ping;
  StoreU32(short_length.data() + 4, 11);
  expect_bad(Concat({short_length, ping}), "length below 12");

  std::vector<std::uint8_t> short_compressed = Frame("Ping", {});
  StoreU32(short_compressed.data() + 4, 15);
  StoreU32(short_compressed.data() + 8, TypeCode("Ping") | kCompressedFlag);
  expect_bad(Concat({short_compressed, ping}), "compressed length below 16");

  std::vector<std::uint8_t> huge = ping;
  StoreU32(huge.data() + 4, static_cast<std::uint32_t>(kMaxMessageSize + 16));
  expect_bad(huge, "message above 1 MiB");

  std::vector<std::uint8_t> big(3000, 'z');
  std::vector<std::uint8_t> compressed = Frame("Data", big, true);
  std::vector<std::uint8_t> zero_size = compressed;
  StoreU32(zero_size.data() + 12, 0);
  expect_bad(zero_size, "uncompressed size 0");

  std::vector<std::uint8_t> oversize = compressed;
  StoreU32(oversize.data() + 12, static_cast<std::uint32_t>(kMaxMessageSize + 1));
  expect_bad(oversize, "uncompressed size above 1 MiB");

  std::vector<std::uint8_t> disagree = compressed;
  StoreU32(disagree.data() + 12, 2999);
  expect_bad(disagree, "size field disagrees with the stream");
  StoreU32(disagree.data() + 12, 3001);
  expect_bad(disagree, "size field larger than the stream");

  std::vector<std::uint8_t> garbage = compressed;
  for (std::size_t i = 16; i < garbage.size(); ++i) garbage[i] ^= 0x5A;
  expect_bad(garbage, "stream that does not inflate");
}

TEST(ParseTest, InflateFailsWithMinusOneWhenSizeDisagrees) {
  std::vector<std::uint8_t> text(100, 'q');
  uLongf size = compressBound(100);
  std::vector<std::uint8_t> stream(size);
  ASSERT_EQ(Z_OK, compress(stream.data(), &size, text.data(), 100));
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(InflatePayload(stream.data(), size, 100, &out));
  EXPECT_FALSE(InflatePayload(stream.data(), size, 99, &out));
  EXPECT_FALSE(InflatePayload(stream.data(), size, 101, &out));
}

TEST(ParseTest, RefusedTypeDiscardsEverything) {
  std::vector<std::uint8_t> buffer = Concat({Frame("Talk", {1, 'a'}), Frame("Ping", {})});
  Collector c;
  c.stop_at_type = TypeCode("Talk");
  ParseOutcome outcome = ParseMessages(buffer.data(), buffer.size(), kChatMagic, c);
  EXPECT_EQ(buffer.size(), outcome.consumed);
  EXPECT_TRUE(c.messages.empty());
  EXPECT_EQ(1u, c.types.size());
}

TEST(ParseTest, DirectoryMagicIsNotChatMagic) {
  std::vector<std::uint8_t> out;
  FrameMessage(kDirectoryMagic, TypeCode("SvId"), nullptr, 0, false, &out);
  EXPECT_EQ("XqDr", std::string(out.begin(), out.begin() + 4));
  Collector c;
  EXPECT_EQ(ParseError::kBadData, ParseMessages(out.data(), out.size(), kChatMagic, c).error);
  Collector d;
  EXPECT_EQ(ParseError::kNone, ParseMessages(out.data(), out.size(), kDirectoryMagic, d).error);
  EXPECT_EQ(1u, d.messages.size());
}

TEST(PayloadReaderTest, ReadsNeverPassTheEnd) {
  std::uint8_t data[] = {0x12, 0x34, 0x56, 3, 'a', 'b'};
  PayloadReader r(data, 5);
  EXPECT_EQ(0x1234, r.U16());
  EXPECT_EQ(0u, r.U32());  // three bytes left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(3u, r.remaining());
  PayloadReader p(data + 3, 3);
  EXPECT_EQ("ab", p.PText());  // a length past the end is clipped
  EXPECT_EQ(0u, p.remaining());
  std::uint8_t fixed[] = {'h', 'i', 0, 'x', 'y'};
  PayloadReader f(fixed, sizeof fixed);
  EXPECT_EQ("hi", f.Fixed(4));
  EXPECT_EQ("y", f.ZString());
  PayloadWriter w;
  w.Fixed("abcdef", 4).PText(std::string(300, 'z'));
  EXPECT_EQ(4u + 1 + 255, w.size());
  EXPECT_EQ(0, w.bytes()[3]);
}

}  // namespace
}  // namespace zanth::wire
