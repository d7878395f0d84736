// Client payload layouts: the records the client builds, checked at their
// byte offsets, and the decoders on golden payloads and on every truncation
// of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/decode.h"
#include "client/encode.h"
#include "support/test_support.h"

namespace zanth::client {
namespace {

using ByteVector = std::vector<std::uint8_t>;

// Golden payloads are built by absolute offset, independently of the
// readers and writers under test.
class Golden {
 public:
  explicit Golden(std::size_t size) : bytes_(size, 0) {}
  Golden& U16(std::size_t at, std::uint16_t v) {
    bytes_.at(at) = static_cast<std::uint8_t>(v >> 8);
    bytes_.at(at + 1) = static_cast<std::uint8_t>(v);
    return *this;
  }
  Golden& U32(std::size_t at, std::uint32_t v) {
    U16(at, static_cast<std::uint16_t>(v >> 16));
    return U16(at + 2, static_cast<std::uint16_t>(v));
  }
  Golden& Text(std::size_t at, const std::string& text) {
    for (char ch : text) bytes_.at(at++) = static_cast<std::uint8_t>(ch);
    return *this;
  }
  const ByteVector& bytes() const { return bytes_; }

 private:
  ByteVector bytes_;
};

// Hex digits, with spaces between fields for reading.
ByteVector Hex(std::string text) {
  std::erase(text, ' ');
  return testing::FromHex(text);
}

ByteVector Range(const ByteVector& bytes, std::size_t at, std::size_t count) {
  return ByteVector(bytes.begin() + static_cast<long>(at),
                    bytes.begin() + static_cast<long>(at + count));
}

std::string TextAt(const ByteVector& bytes, std::size_t at) {
  return std::string(reinterpret_cast<const char*>(&bytes.at(at)));
}

// Decodes golden, and golden with frame padding, and fails on every shorter
// prefix. Each prefix is its own exact-size allocation so that the address
// sanitizer sees any read past its end.
template <typename T, typename Decode>
T DecodeGolden(const ByteVector& golden, Decode decode) {
  for (std::size_t n = 0; n < golden.size(); ++n) {
    ByteVector cut(golden.begin(), golden.begin() + static_cast<long>(n));
    T ignored{};
    EXPECT_FALSE(decode(Bytes(cut), &ignored)) << "prefix of " << n;
  }
  ByteVector padded = golden;
  padded.resize(golden.size() + 15, 0);
  T out{};
  EXPECT_TRUE(decode(Bytes(padded), &out));
  EXPECT_TRUE(decode(Bytes(golden), &out));
  return out;
}

TEST(EncodeTest, IdentFieldsSitAtTheirOffsets) {
  Ident ident;
  ident.uuid = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  ident.client_number = 0x55667788;
  ident.nickname = std::string(40, 'n');  // cut to 31 and a NUL
  ident.voice = -3;
  ident.colour = 0x00A0B0C0;
  ident.face = 0x0102;
  ident.room = -1;
  ident.capabilities = kAcceptsCompressed | kWebClient;
  ident.account = "acct";
  ident.password = "secret";
  ByteVector p = EncodeIdent(ident);
  ASSERT_EQ(kIdentSize, p.size());
  EXPECT_EQ(Hex("11111111 22222222 33333333 44444444 55667788 00"),
            Range(p, 0, 21));
  EXPECT_EQ(std::string(31, 'n'), TextAt(p, 32));
  EXPECT_EQ(Hex("fffd 00a0b0c0 0102"), Range(p, 66, 8));
  EXPECT_EQ(Hex("ffff 0003"), Range(p, 104, 4));
  EXPECT_EQ("acct", TextAt(p, 110));
  EXPECT_EQ("secret", TextAt(p, 143));
  const std::size_t reserved[][2] = {{20, 32}, {64, 66}, {74, 104}, {108, 110}};
  for (const auto& range : reserved) {
    for (std::size_t i = range[0]; i < range[1]; ++i) EXPECT_EQ(0, p[i]) << i;
  }
}

TEST(EncodeTest, FreshUuidsDifferAndKeepTheFourthWordNonZero) {
  Ident a, b;
  EXPECT_NE(a.uuid, b.uuid);
  for (int i = 0; i < 1000; ++i) EXPECT_NE(0u, NewClientUuid()[3]);
}

TEST(EncodeTest, RecordAndMessageLayouts) {
  ByteVector room = EncodeRoomRecord(
      {0x0102, 0x0811, std::string(70, 'r'), "hall.rmd", 512, 384, -1});
  ASSERT_EQ(kRoomRecordSize, room.size());
  EXPECT_EQ(Hex("0102 0000 00000811"), Range(room, 0, 8));
  EXPECT_EQ(std::string(64, 'r'), TextAt(room, 8));
  EXPECT_EQ("hall.rmd", TextAt(room, 73));
  EXPECT_EQ(Hex("00 0200 0180 ffff"), Range(room, 585, 7));

  ByteVector groups = EncodeGroupList(
      {{"Freeman", 1, 0x103, 7}, {"Lord", 100, 0xFFFFFFFF, 0xFFFFFFFF}});
  ASSERT_EQ(4 + 2 * kGroupRecordSize, groups.size());
  EXPECT_EQ(Hex("0002 0000"), Range(groups, 0, 4));
  EXPECT_EQ("Freeman", TextAt(groups, 4));
  EXPECT_EQ(Hex("0001 00000103 00000007"), Range(groups, 38, 10));
  EXPECT_EQ("Lord", TextAt(groups, 48));

  // The plain byte sits where the server's own list has its group, and the
  // group where that list has the index.
  ByteVector accounts = EncodeAccountList(
      {{"ann", "new pass", 3, true}, {std::string(40, 'a'), "DZ?k", 0x0102, false}});
  ASSERT_EQ(2 + 2 * kAccountRecordSize, accounts.size());
  EXPECT_EQ(Hex("0002"), Range(accounts, 0, 2));
  EXPECT_EQ("ann", TextAt(accounts, 2));
  EXPECT_EQ("new pass", TextAt(accounts, 35));
  EXPECT_EQ(Hex("01 00 0003"), Range(accounts, 68, 4));
  EXPECT_EQ(std::string(32, 'a'), TextAt(accounts, 72));
  EXPECT_EQ("DZ?k", TextAt(accounts, 105));
  EXPECT_EQ(Hex("00 00 0102"), Range(accounts, 138, 4));

  ByteVector bans = EncodeBanList(
      {{std::string(40, 'v'), {1, 2, 3, 4}, 9, {5, 6, 7}, 0x80000011}});
  ASSERT_EQ(4 + kBanRecordSize, bans.size());
  EXPECT_EQ(Hex("00000001"), Range(bans, 0, 4));
  EXPECT_EQ(std::string(35, 'v'), TextAt(bans, 4));
  EXPECT_EQ(Hex("00000001 00000002 00000003 00000004 00000009 00000005 00000006 "
                "00000007 80000011"),
            Range(bans, 40, 36));
  ByteVector sounds = EncodeSoundList({{"bell", "bell.wav"}, {"gong", "gong.ogg"}});
  ASSERT_EQ(8u + 2 * 66, sounds.size());
  EXPECT_EQ(Hex("00000002 00000042"), Range(sounds, 0, 8));
  EXPECT_EQ("bell.wav", TextAt(sounds, 41));
  EXPECT_EQ("gong", TextAt(sounds, 74));
  ByteVector site = EncodeDirectoryInfo(
      {"Site", "zanth://example.org:12005/", "http://example.org/s.png", "Hello", true, false, true});
  ASSERT_EQ(kDirectoryInfoSize, site.size());
  EXPECT_EQ("zanth://example.org:12005/", TextAt(site, 65));
  EXPECT_EQ("http://example.org/s.png", TextAt(site, 577));
  EXPECT_EQ("Hello", TextAt(site, 1089));
  EXPECT_EQ(Hex("01 00 01"), Range(site, 2113, 3));
  EXPECT_EQ(Hex("01 00 0001 ffff 0003 0004"), EncodeRating(true, {1, 0xFFFF, 3, 4}));
  ByteVector segment = EncodeUploadSegment("bg.png", 0x2000, ByteVector{1, 2, 3}, true);
  ASSERT_EQ(32u + 9 + 3, segment.size());
  EXPECT_EQ("bg.png", TextAt(segment, 0));
  EXPECT_EQ(Hex("0003 0000 00002000 01 010203"), Range(segment, 32, 12));

  EXPECT_EQ(Hex("0002 0000 00000005 fffffffe 04 70737374"),
            EncodeWhisper({5, 0xFFFFFFFE}, "psst"));
  // A tag of 16 bytes fills its field with no NUL; a longer one is cut.
  EXPECT_EQ(Hex("30313233343536373839616263646566 01 00 0001 00000003 00000007 "
                "aabbcc"),
            EncodeData("0123456789abcdefXYZ", true, {7}, {0xAA, 0xBB, 0xCC}));
  ByteVector pose = EncodeMove3D({1.0f});
  EXPECT_EQ(48u, pose.size());
  EXPECT_EQ(Hex("3f800000"), Range(pose, 0, 4));
  EXPECT_EQ(256u, EncodeText(std::string(300, 'x')).size());
}

TEST(DecodeTest, ChatMovementAndAppearance) {
  EXPECT_EQ((Speech{42, "hello"}),
            DecodeGolden<Speech>(Hex("0000002a 05 68656c6c6f"), DecodeSpeech));
  ByteVector crtk = Golden(44)
                        .U32(0, 7)
                        .U32(4, 0xCCCC00)
                        .Text(8, "Ann")
                        .U16(41, 0x0268)
                        .bytes();
  crtk[43] = 'i';
  EXPECT_EQ((CrossRoomWhisper{7, 0xCCCC00, "Ann", "hi"}),
            DecodeGolden<CrossRoomWhisper>(crtk, DecodeCrossRoomWhisper));
  EXPECT_EQ((UserMove{3, 490, -10}),
            DecodeGolden<UserMove>(Hex("00000003 01ea fff6"), DecodeUserMove));
  UserMove3D pose = DecodeGolden<UserMove3D>(
      Golden(56).U32(0, 4).U32(8, 0x3F800000).U32(52, 0xC0000000).bytes(),
      DecodeUserMove3D);
  EXPECT_EQ(4u, pose.user);
  EXPECT_EQ((std::array<float, 12>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -2}),
            pose.pose);

  EXPECT_EQ((UserValue{1, 0x1234}),
            DecodeGolden<UserValue>(Hex("00000001 1234"), DecodeUserFace));
  EXPECT_EQ(
      (UserValue{1, 0xFFEEDDCC}),
      DecodeGolden<UserValue>(Hex("00000001 ffeeddcc"), DecodeUserColour));
  EXPECT_EQ((UserValue{1, 1}),
            DecodeGolden<UserValue>(Hex("00000001 01"), DecodeUserBadge));
  EXPECT_EQ((UserValue{1, -5}),
            DecodeGolden<UserValue>(Hex("00000001 fffb"), DecodeUserVoice));
  EXPECT_EQ((UserFaceImage{9, "a.png"}),
            DecodeGolden<UserFaceImage>(Hex("00000009 612e706e6700"),
                                        DecodeUserFaceImage));
}

TEST(DecodeTest, SignOnNotices) {
  EXPECT_EQ(0xDEADBEEF,
            DecodeGolden<std::uint32_t>(Hex("deadbeef"), DecodeU32));
  EXPECT_EQ(1, DecodeGolden<std::uint16_t>(Hex("0001"), DecodeU16));
  EXPECT_EQ("Site",
            DecodeGolden<std::string>(Hex("5369746500"), DecodeZString));
  EXPECT_EQ(
      (GroupNotice{100, "Lord"}),
      DecodeGolden<GroupNotice>(Golden(36).U16(0, 100).Text(2, "Lord").bytes(),
                                DecodeGroupNotice));
  EXPECT_EQ((std::array<std::uint16_t, 4>{1, 2, 3, 4}),
            (DecodeGolden<std::array<std::uint16_t, 4>>(Hex("0001000200030004"),
                                                        DecodeRating)));
  // The short form of a name change: 48 bytes of name.
  EXPECT_EQ(
      (NameChange{8, 44, 50, "Bob"}),
      DecodeGolden<NameChange>(
          Golden(56).U32(0, 8).U16(4, 44).U16(6, 50).Text(8, "Bob").bytes(),
          DecodeNameChange));
}

TEST(DecodeTest, RoomAndUserRecords) {
  Golden rooms(2 + 2 * 70);
  rooms.U16(0, 2).U16(2, 100).U16(4, 3).Text(7, "Gate");
  rooms.U16(72, 101).Text(76,
                          "\x01"
                          "Den");
  EXPECT_EQ(
      (std::vector<RoomSummary>{{100, 3, false, "Gate"},
                                {101, 0, true, "Den"}}),
      DecodeGolden<std::vector<RoomSummary>>(rooms.bytes(), DecodeRoomList));
  EXPECT_EQ((RoomSummary{101, 0, true, "Den"}),
            DecodeGolden<RoomSummary>(Range(rooms.bytes(), 72, 70),
                                      DecodeRoomSummary));

  Golden info(74);
  info.U16(0, 100).U16(2, 512).U16(4, 384).Text(6, "Gate").U16(72, 3);
  EXPECT_EQ((RoomInfo{100, 512, 384, "Gate", 3}),
            DecodeGolden<RoomInfo>(info.bytes(), DecodeRoomInfo));

  Golden edit(1616);
  edit.U16(0, 105).U32(4, 0x0801).Text(8, "Attic").Text(585, "attic.rmd");
  edit.Text(1097, "Dusty.").U16(1610, 640).U16(1612, 480).U16(1614, 25);
  EXPECT_EQ(
      (RoomEditInfo{105, 0x0801, "Attic", "attic.rmd", "Dusty.", 640, 480, 25}),
      DecodeGolden<RoomEditInfo>(edit.bytes(), DecodeRoomEditInfo));

  Golden occupants(4 + 2 * 60);
  occupants.U16(0, 2).U32(4, 11).U16(8, 44).U16(10, 0xFFFF).Text(12, "Ann");
  occupants.U32(48, 1).U16(52, 7).U32(56, 0xCCCC00).U16(60, 12);
  occupants.U32(64, 12).Text(72, "Bob");
  UserSummary ann{11, 44, -1, "Ann", 1, 7, 0xCCCC00, 12};
  EXPECT_EQ((std::vector<UserSummary>{ann, {12, 0, 0, "Bob", 0, 0, 0, 0}}),
            DecodeGolden<std::vector<UserSummary>>(occupants.bytes(),
                                                   DecodeOccupants));
  EXPECT_EQ(ann, DecodeGolden<UserSummary>(Range(occupants.bytes(), 4, 60),
                                           DecodeUserSummary));

  Golden users(4 + 2 * 40);
  users.U32(0, 2).U32(4, 11).Text(8, "Ann").U16(42, 100).U32(44, 12).Text(
      48, "Bob");
  EXPECT_EQ(
      (std::vector<UserListEntry>{{11, "Ann", 100}, {12, "Bob", 0}}),
      DecodeGolden<std::vector<UserListEntry>>(users.bytes(), DecodeUserList));
  EXPECT_EQ((UserListEntry{11, "Ann", 100}),
            DecodeGolden<UserListEntry>(Range(users.bytes(), 4, 40),
                                        DecodeUserListUpdate));
}

TEST(DecodeTest, ConsoleListsAndDataRelay) {
  Golden groups(4 + 2 * 44);
  groups.U16(0, 0x0100)
      .U16(2, 2)
      .Text(4, "Freeman")
      .U16(38, 1)
      .U32(40, 0x103)
      .U32(44, 7);
  groups.Text(48, "Lord").U16(82, 100).U32(84, 0xFFFFFFFF);
  EXPECT_EQ((std::vector<Group>{{"Freeman", 1, 0x103, 7},
                                {"Lord", 100, 0xFFFFFFFF, 0}}),
            DecodeGolden<std::vector<Group>>(groups.bytes(), DecodeGroupList));

  Golden accounts(2 + 2 * 70);
  accounts.U16(0, 2).Text(2, "ann").Text(35, "DZ?k").U16(68, 3).U16(70, 0);
  accounts.Text(72, "Lord").Text(105, "D'x").U16(138, 2).U16(140, 1);
  EXPECT_EQ((std::vector<Account>{{"ann", "DZ?k", 3, false}, {"Lord", "D'x", 2, false}}),
            DecodeGolden<std::vector<Account>>(accounts.bytes(), DecodeAccountList));

  Golden labels(4 + 2 * 40);
  labels.U16(0, 2)
      .Text(4, "Change name")
      .U32(40, 1)
      .Text(44, "Full rooms")
      .U32(80, 1u << 30);
  EXPECT_EQ(
      (std::vector<BitLabel>{{"Change name", 1}, {"Full rooms", 1u << 30}}),
      DecodeGolden<std::vector<BitLabel>>(labels.bytes(), DecodeBitLabels));

  Golden sounds(8 + 66);
  sounds.U32(0, 1).U32(4, 66).Text(8, "bell").Text(41, "bell.wav");
  EXPECT_EQ((std::vector<Sound>{{"bell", "bell.wav"}}),
            DecodeGolden<std::vector<Sound>>(sounds.bytes(), DecodeSoundList));

  Golden bans(4 + 2 * 72);
  bans.U32(0, 2).Text(4, "Vic").U32(40, 1).U32(44, 2).U32(48, 3).U32(52, 4);
  bans.U32(56, 9).U32(68, 7).U32(72, 0x80000000);
  bans.Text(76, "Pat").U32(136, 0).U32(144, 0x11);
  EXPECT_EQ((std::vector<BanEntry>{{"Vic", {1, 2, 3, 4}, 9, {0, 0, 7}, 0x80000000},
                                    {"Pat", {}, 0, {}, 0x11}}),
            DecodeGolden<std::vector<BanEntry>>(bans.bytes(), DecodeBanList));

  Golden site(2116);
  site.Text(0, "Site").Text(65, "zanth://x:1/").Text(577, "p.png").Text(1089, "Hi");
  site.U16(2114, 0x0101);
  EXPECT_EQ((DirectoryInfo{"Site", "zanth://x:1/", "p.png", "Hi", false, true, true}),
            DecodeGolden<DirectoryInfo>(site.bytes(), DecodeDirectoryInfo));

  Golden data(24 + 3);
  data.Text(0, "0123456789abcdef").U32(16, 5).U32(20, 3).Text(24, "xyz");
  EXPECT_EQ((DataMessage{"0123456789abcdef", 5, {'x', 'y', 'z'}}),
            DecodeGolden<DataMessage>(data.bytes(), DecodeData));
}

TEST(DecodeTest, CountsPastTheEndFailWithoutAllocatingForThem) {
  std::vector<UserListEntry> users;
  EXPECT_FALSE(DecodeUserList(Hex("ffffffff 00000000"), &users));
  std::vector<UserSummary> occupants;
  EXPECT_FALSE(DecodeOccupants(Hex("ffff0000"), &occupants));
  std::vector<Sound> sounds;
  EXPECT_FALSE(DecodeSoundList(Hex("ffffffff 00000042"), &sounds));
  std::vector<Account> accounts;
  EXPECT_FALSE(DecodeAccountList(Hex("ffff"), &accounts));
  std::vector<BanEntry> bans;
  EXPECT_FALSE(DecodeBanList(Hex("7fffffff"), &bans));
  // A record size below the record's own fields cannot be read.
  EXPECT_FALSE(
      DecodeSoundList(Golden(8 + 66).U32(0, 1).U32(4, 10).bytes(), &sounds));
  DataMessage data;
  EXPECT_FALSE(DecodeData(Golden(24).U32(20, 0xFFFFFFFF).bytes(), &data));
  // A ptext whose length runs past the end is a cut payload, not a short text.
  Speech speech;
  EXPECT_FALSE(DecodeSpeech(Hex("00000001 09 6869"), &speech));
}

}  // namespace
}  // namespace zanth::client
