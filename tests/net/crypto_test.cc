// SHA-1 and base64 against published vectors; base64 refuses every text
// but the canonical one.
#include "net/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace zanth::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Sha1Hex(const std::string& text) {
  Sha1Digest d = Sha1(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return testing::ToHex(d.data(), d.size());
}

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Sha1Test, PublishedVectors) {
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex(""));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex("abc"));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
            Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("a49b2446a02c645bf419f995b67091253a04a259",
            Sha1Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmno"
                    "pqklmnopqrlmnopqrsmnopqrstnopqrstu"));
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Hex(std::string(1000000, 'a')));
  std::string eighty;
  for (int i = 0; i < 80; ++i) eighty += "01234567";
  EXPECT_EQ("dea356a2cddd90c7a7ecedc5ebb563934f460452", Sha1Hex(eighty));
  // Around the padding boundary: the length goes in the same block or the next.
  EXPECT_EQ("c1c8bbdc22796e28c0e15163d20899b65621d65a", Sha1Hex(std::string(55, 'a')));
  EXPECT_EQ("c2db330f6083854c99d4b5bfb6e8f29f201be699", Sha1Hex(std::string(56, 'a')));
  EXPECT_EQ("03f09f5b158a7a8cdad920bddc29b81c18a551f5", Sha1Hex(std::string(63, 'a')));
  EXPECT_EQ("0098ba824b5c16427bd7a1122a5a442a25ec644d", Sha1Hex(std::string(64, 'a')));
}

TEST(Base64Test, RoundTripsAndRefusesNonCanonicalText) {
  const char* const kPairs[][2] = {{"", ""},
                                   {"f", "Zg=="},
                                   {"fo", "Zm8="},
                                   {"foo", "Zm9v"},
                                   {"foob", "Zm9vYg=="},
                                   {"fooba", "Zm9vYmE="},
                                   {"foobar", "Zm9vYmFy"}};
  for (const auto& pair : kPairs) {
    Bytes plain = Of(pair[0]);
    EXPECT_EQ(pair[1], Base64Encode(plain.data(), plain.size()));
    Bytes back;
    EXPECT_TRUE(Base64Decode(pair[1], &back)) << pair[1];
    EXPECT_EQ(plain, back);
  }
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  Bytes back;
  EXPECT_TRUE(Base64Decode(Base64Encode(all.data(), all.size()), &back));
  EXPECT_EQ(all, back);
  for (const char* bad :
       {"Zg=", "Zh==", "Zm9=", "Z===", "====", "Zm9v!A==", "Zg==Zg==", "Zm 9", "Zm9v\n"}) {
    EXPECT_FALSE(Base64Decode(bad, &back)) << bad;
  }
}

}  // namespace
}  // namespace zanth::net
