// Accounts with their password encoding and file, and ban records with
// theirs.
#include "users/accounts.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/file.h"
#include "support/test_support.h"
#include "users/ban_list.h"
#include "wire/bytes.h"

namespace zanth::users {
namespace {

TEST(PasswordTest, EncodingMatchesVectors) {
  for (const auto& v : testing::ProtocolVectors()["password_encoding"]) {
    EXPECT_EQ(v["encoded"].get<std::string>(), EncodePassword(v["password"].get<std::string>()))
        << v["password"];
  }
}

TEST(PasswordTest, LengthPrefixAndSalt) {
  for (std::size_t n = 0; n <= 10; ++n) {
    std::string encoded = EncodePassword(std::string(n, 'q'));
    EXPECT_EQ(2 + n, encoded.size());
    EXPECT_EQ('D', encoded[0]);
  }
  EXPECT_EQ(EncodePassword("abcdefghij-one"), EncodePassword("abcdefghij-two"));
  EXPECT_EQ(12u, EncodePassword(std::string(40, 'z')).size());
}

TEST(PasswordTest, CharactersOutsideTheTableStayInside) {
  std::string odd;
  for (int c = 0; c < 256; c += 7) odd += static_cast<char>(c);
  for (std::size_t i = 0; i + 10 <= odd.size(); ++i) {
    std::string encoded = EncodePassword(odd.substr(i, 10));
    for (char c : encoded) {
      EXPECT_GE(c, 0x20);
      EXPECT_LE(c, 0x7E);
    }
  }
  EXPECT_FALSE(IsEncodable("tab\there"));
  EXPECT_TRUE(IsEncodable("a,b`c~ "));
}

class AccountFileTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.File("passwds"); }
  testing::TempDir dir_;
  GroupTable groups_;
  AccountList accounts_;
};

TEST_F(AccountFileTest, MissingFileGivesTheDefaultAccountAndWritesIt) {
  ASSERT_EQ(0, accounts_.Load(path(), groups_));
  ASSERT_EQ(1u, accounts_.accounts().size());
  const AccountRecord* lord = accounts_.Check("Lord", "Velk*Baron");
  ASSERT_NE(nullptr, lord);
  EXPECT_EQ(2, lord->group);
  EXPECT_EQ(nullptr, accounts_.Check("Lord", "velk*baron"));
  EXPECT_EQ(nullptr, accounts_.Check("lord", "Velk*Baron"));
  std::string text = testing::ReadFileText(path());
  EXPECT_EQ(0u, text.find("<?xml"));
  EXPECT_NE(std::string::npos, text.find("<group>Lord</group>"));
  EXPECT_NE(std::string::npos, text.find("/xmlschemas/passwds.xml/"));
  EXPECT_EQ(std::string::npos, text.find("<reg>"));  // reg 0 is not written
}

TEST_F(AccountFileTest, EachReadAndWriteReversesTheOrder) {
  ASSERT_EQ(0, platform::WriteWholeFile(path(),
      "<?xml version=\"1.0\"?>\n<passwds>"
      "<user><name>A</name><password>DX</password><group>Freeman</group></user>"
      "<user><name>B</name><password>DX</password><reg>0000BEEF</reg><group>Knight</group></user>"
      "<user><name>C</name><password>DX</password><group>Nobody</group></user>"
      "</passwds>\n"));
  ASSERT_EQ(0, accounts_.Load(path(), groups_));
  ASSERT_EQ(3u, accounts_.accounts().size());
  EXPECT_EQ("C", accounts_.accounts()[0].name);
  EXPECT_EQ(0, accounts_.accounts()[0].group);  // names no group
  EXPECT_EQ(0xBEEFu, accounts_.accounts()[1].reg);
  EXPECT_EQ(3, accounts_.accounts()[1].group);
  ASSERT_EQ(0, accounts_.Save(path(), groups_));
  std::string text = testing::ReadFileText(path());
  EXPECT_LT(text.find("<name>C</name>"), text.find("<name>B</name>"));
  EXPECT_LT(text.find("<name>B</name>"), text.find("<name>A</name>"));
  EXPECT_NE(std::string::npos, text.find("<reg>0000BEEF</reg>"));
  AccountList again;
  ASSERT_EQ(0, again.Load(path(), groups_));
  EXPECT_EQ("A", again.accounts()[0].name);
}

// A file that cannot be read to its end leaves no accounts and is never
// written: not at load, and not by a later change.
TEST_F(AccountFileTest, UnreadableFileLoadsNothingAndIsNeverWritten) {
  const std::string record = [] {
    std::string r(80, '\0');
    r.replace(4, 4, "Lord");
    return r;
  }();
  struct Case {
    std::string text;
    const char* detail;
  };
  const Case kCases[] = {
      {"<?xml version=\"1.0\"?>\n", "line 2, column 1: Start tag expected"},
      // Recovery would read the first user and drop the second.
      {"<?xml version=\"1.0\"?>\n<passwds><user><name>A</name>\n<user><name>B</name></user>"
       "</passwds>",
       "line 3, column 38: Opening and ending tag mismatch: user line 2 and passwds"},
      {"<?xml version=\"1.0\"?><zanthd/>", "the root element is not <passwds>"},
      {"Lord Velk*Baron 2\n", "neither XML nor whole records of the binary form"},
      {record + record.substr(0, 30), "neither XML nor whole records"},
      {std::string(80, 'x'), "line 1, column 1: a record of the binary form without"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(0, platform::WriteWholeFile(path(), c.text));
    std::vector<std::string> lines;
    GetLogger().SetSink([&lines](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(-1, accounts_.Load(path(), groups_));
    accounts_.AddFront({"new", EncodePassword("x"), 0, 1});
    EXPECT_EQ(-1, accounts_.Save(path(), groups_));
    GetLogger().SetSink(nullptr);
    EXPECT_TRUE(accounts_.read_failed());
    EXPECT_EQ(c.text, testing::ReadFileText(path()));
    std::string log;
    for (const std::string& line : lines) log += line;
    EXPECT_NE(std::string::npos, log.find(path() + ": " + c.detail)) << log;
    EXPECT_EQ(c.text.starts_with("<?xml") && c.text.find("zanthd") == std::string::npos,
              log.find("Error -1 (failed) Xml error parsing passwds file") != std::string::npos)
        << log;
  }
}

TEST_F(AccountFileTest, BinaryFileIsConvertedToXml) {
  std::string bytes(2 * 80, '\0');
  auto put = [&bytes](std::size_t at, const char* name, const std::string& password,
                      std::uint8_t group, std::uint8_t reg) {
    bytes.replace(at + 4, std::strlen(name), name);
    bytes.replace(at + 37, password.size(), password);
    bytes[at + 72] = static_cast<char>(reg);
    bytes[at + 76] = static_cast<char>(group);
  };
  put(0, "first", EncodePassword("one"), 1, 0);
  put(80, "second", EncodePassword("two"), 3, 0x42);
  ASSERT_EQ(0, platform::WriteWholeFile(path(), bytes));
  ASSERT_EQ(0, accounts_.Load(path(), groups_));
  ASSERT_EQ(2u, accounts_.accounts().size());
  EXPECT_EQ("second", accounts_.accounts()[0].name);
  EXPECT_EQ(0x42u, accounts_.accounts()[0].reg);
  EXPECT_NE(nullptr, accounts_.Check("first", "one"));
  EXPECT_EQ(3, accounts_.Check("second", "two")->group);
  std::string text = testing::ReadFileText(path());
  EXPECT_EQ(0u, text.find("<?xml"));
  EXPECT_LT(text.find("second"), text.find("first"));
}

// Names arrive from clients as 8-bit text; the file holds UTF-8. A name,
// a password sent already encoded and a group's name read back with the
// bytes they had, or the account could not sign in or lost its group.
TEST_F(AccountFileTest, TextsKeepTheirBytesAcrossSaveAndLoad) {
  wire::PayloadWriter w;
  w.U16(1).U16(0).Fixed("Chevali\xE9r", 34).U16(5).U32(1).U32(1);
  groups_.ReplaceFromPayload(w.data(), w.size());
  const std::string kNames[] = {"Ren\xE9" "e", "Ren\xC3\xA9" "e", "\xE2\x82\xAC\xFF", std::string(32, '\xE9')};
  for (const std::string& name : kNames) accounts_.AddFront({name, EncodePassword("pw"), 0, 1});
  accounts_.AddFront({"sent", "D\xE9j\xE0", 0, 1});
  ASSERT_EQ(0, accounts_.Save(path(), groups_));
  EXPECT_NE(std::string::npos, testing::ReadFileText(path()).find("<name>Ren\xC3\xA9" "e</name>"));
  AccountList again;
  ASSERT_EQ(0, again.Load(path(), groups_));
  AccountList back;
  ASSERT_EQ(0, again.Save(path(), groups_));
  ASSERT_EQ(0, back.Load(path(), groups_));  // two reversals: the first order
  ASSERT_EQ(accounts_.accounts().size(), back.accounts().size());
  for (std::size_t i = 0; i < back.accounts().size(); ++i) {
    EXPECT_EQ(accounts_.accounts()[i].name, back.accounts()[i].name);
    EXPECT_EQ(accounts_.accounts()[i].password, back.accounts()[i].password);
    EXPECT_EQ(1, back.accounts()[i].group) << back.accounts()[i].name;
  }
  EXPECT_NE(nullptr, back.Check("Ren\xE9" "e", "pw"));

  // The binary form held the bytes as clients sent them.
  std::string bytes(80, '\0');
  bytes.replace(4, 32, std::string(31, '\xE9') + "x");
  ASSERT_EQ(0, platform::WriteWholeFile(path(), bytes));
  ASSERT_EQ(0, accounts_.Load(path(), groups_));
  ASSERT_EQ(1u, accounts_.accounts().size());
  EXPECT_EQ(std::string(31, '\xE9') + "x", accounts_.accounts()[0].name);
  ASSERT_EQ(0, again.Load(path(), groups_));
  EXPECT_EQ(accounts_.accounts()[0].name, again.accounts()[0].name);
}

TEST_F(AccountFileTest, ConsoleListAndReplacement) {
  accounts_.AddFront({"old", EncodePassword("x"), 0, 1});
  std::vector<std::uint8_t> list = accounts_.ListPayload();
  ASSERT_EQ(2u + 70, list.size());
  EXPECT_EQ(1, wire::LoadU16(list.data()));
  EXPECT_EQ(1, wire::LoadU16(list.data() + 2 + 66));
  wire::PayloadWriter w;
  w.U16(3);
  w.Fixed("plain", 33).Fixed("secret", 33).U8(1).U8(0).U16(3);
  w.Fixed("coded", 33).Fixed(EncodePassword("pw"), 33).U8(0).U8(0).U16(2);
  w.Fixed("cut", 33);  // the third record is cut short and not read
  accounts_.ReplaceFromPayload(w.data(), w.size());
  ASSERT_EQ(2u, accounts_.accounts().size());
  EXPECT_EQ("coded", accounts_.accounts()[0].name);
  EXPECT_NE(nullptr, accounts_.Check("plain", "secret"));
  EXPECT_NE(nullptr, accounts_.Check("coded", "pw"));
  EXPECT_EQ(nullptr, accounts_.Check("old", "x"));
}

TEST_F(AccountFileTest, CommandOperations) {
  AccountRecord touched;
  EXPECT_EQ(AccountList::Change::kDone,
            accounts_.AddFromCommand("amy pass1 Knight", groups_, &touched));
  EXPECT_EQ(3, touched.group);
  EXPECT_EQ(AccountList::Change::kDone,
            accounts_.AddFromCommand("amy pass2 Freeman", groups_, &touched));
  EXPECT_EQ(1, accounts_.Check("amy", "pass2")->group);  // the newer is found first
  EXPECT_NE(nullptr, accounts_.Check("amy", "pass1"));   // the older stays
  EXPECT_EQ(AccountList::Change::kUnknownGroup,
            accounts_.AddFromCommand("bob pw Nobody", groups_, &touched));
  EXPECT_EQ(AccountList::Change::kBadPassword,
            accounts_.AddFromCommand("bob p\x01w Lord", groups_, &touched));
  EXPECT_EQ(2u, accounts_.accounts().size());
  EXPECT_EQ(AccountList::Change::kNoAccount,
            accounts_.ChangeGroupFromCommand("zed Lord", groups_, &touched));
  EXPECT_EQ(AccountList::Change::kUnknownGroup,
            accounts_.ChangeGroupFromCommand("amy Nobody", groups_, &touched));
  EXPECT_EQ(AccountList::Change::kDone,
            accounts_.ChangeGroupFromCommand("amy Lord", groups_, &touched));
  EXPECT_EQ(2, accounts_.Check("amy", "pass2")->group);
  std::vector<std::string> lines = accounts_.ListLines(groups_);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("00000000 amy Lord", lines[0]);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), SplitCommandWords("a b c", 2));
  EXPECT_EQ(std::string(32, 'w'), SplitCommandWords(std::string(40, 'w'), 1)[0]);
}

std::unique_ptr<UserRecord> Identity(std::uint32_t third, std::uint32_t fourth,
                                     std::uint32_t client = 0) {
  auto user = std::make_unique<UserRecord>();
  user->uuid[0] = 0x11111111;
  user->uuid[1] = 0x22222222;
  user->uuid[2] = third;
  user->uuid[3] = fourth;
  user->client_number = client;
  user->name = "Ann";
  return user;
}

class BanListTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.File("banlist"); }
  testing::TempDir dir_;
  BanList bans_;
};

TEST_F(BanListTest, MatchByClientNumberElseByUuidWords) {
  auto by_uuid = Identity(0xAAAA1234, 0x55667788);
  ASSERT_EQ(0, bans_.RecordMeasure(*by_uuid, kGagged, true, path()));
  auto other_high = Identity(0xBBBB1234, 0x55667788);  // high half and first words differ
  other_high->uuid[0] = 9;
  EXPECT_NE(nullptr, bans_.Match(other_high->uuid, 0));
  EXPECT_EQ(nullptr, bans_.Match(Identity(0xAAAA1235, 0x55667788)->uuid, 0));
  auto numbered = Identity(1, 2, 777);
  ASSERT_EQ(0, bans_.RecordMeasure(*numbered, kPinned, true, path()));
  // With a client number only the number counts.
  EXPECT_EQ(nullptr, bans_.Match(by_uuid->uuid, 778));
  EXPECT_EQ(kPinned, bans_.Match(Identity(9, 9)->uuid, 777)->flags);
  EXPECT_EQ("123455667788", BanKey(by_uuid->uuid));
}

TEST_F(BanListTest, PinThenUnpinLeavesOneRecordWithNoFlags) {
  auto user = Identity(3, 4);
  ASSERT_EQ(0, bans_.RecordMeasure(*user, kPinned, true, path()));
  ASSERT_EQ(0, bans_.RecordMeasure(*user, kPinned, false, path()));
  ASSERT_EQ(1u, bans_.records().size());
  EXPECT_EQ(0u, bans_.records()[0].flags);
  EXPECT_EQ("Ann", bans_.records()[0].name);
}

TEST_F(BanListTest, SignOnVerdicts) {
  auto banned = Identity(5, 6);
  bans_.AddFront({"b", {0, 0, 5, 6}, 0, {0, 0, 0}, 0, kBanned | kPinned});
  auto restricted = Identity(7, 8);
  bans_.AddFront({"r", {0, 0, 7, 8}, 0, {0, 0, 0}, 0, kPinned | kInTimeout | 0x100});
  std::uint32_t measures = 0;
  EXPECT_EQ(BanVerdict::kRefused, bans_.Check(*banned, &measures));
  EXPECT_EQ(BanVerdict::kMeasures, bans_.Check(*restricted, &measures));
  EXPECT_EQ(kPinned | kInTimeout, measures);
  banned->flags |= kLocal;  // 127.0.0.1 is never refused
  EXPECT_EQ(BanVerdict::kNone, bans_.Check(*banned, &measures));
  EXPECT_EQ(BanVerdict::kNone, bans_.Check(*Identity(1, 1), &measures));
}

TEST_F(BanListTest, FileKeepsReverseOrderAndReadsAShortRecord) {
  for (std::uint32_t i = 1; i <= 3; ++i) {
    ASSERT_EQ(0, bans_.RecordMeasure(*Identity(i, i), kGagged, true, path()));
  }
  EXPECT_EQ(3u, bans_.records()[0].uuid[3]);  // newest first
  std::string bytes = testing::ReadFileText(path());
  ASSERT_EQ(3u * 80, bytes.size());
  EXPECT_EQ(3, bytes[40 + 12]);  // the first record written is the newest
  BanList loaded;
  loaded.Load(path());
  ASSERT_EQ(3u, loaded.records().size());
  EXPECT_EQ(1u, loaded.records()[0].uuid[3]);  // read back reversed
  // A record cut after its client number reads with zero flags.
  ASSERT_EQ(0, platform::WriteWholeFile(path(), bytes.substr(0, 80 + 60)));
  loaded.Load(path());
  ASSERT_EQ(2u, loaded.records().size());
  EXPECT_EQ(0u, loaded.records()[0].flags);
  EXPECT_EQ(2u, loaded.records()[0].uuid[3]);
}

TEST_F(BanListTest, ConsoleListAndFlagChanges) {
  bans_.AddFront({"x", {0, 0, 0x10, 0x20}, 0, {0, 0, 0}, 0, kGagged});
  std::vector<std::uint8_t> list = bans_.ListPayload();
  ASSERT_EQ(4u + 72, list.size());
  EXPECT_EQ(0x20u, wire::LoadU32(list.data() + 4 + 48));
  EXPECT_EQ(kGagged, wire::LoadU32(list.data() + 4 + 68));
  wire::PayloadWriter w;
  w.U32(3);
  w.Fixed("x", 36).U32(0).U32(0).U32(0x10).U32(0x20).U32(0).Zeros(12).U32(kBanned);
  w.Fixed("nobody", 36).U32(0).U32(0).U32(0x99).U32(0x98).U32(0).Zeros(12).U32(kBanned);
  bans_.ApplyFromPayload(w.data(), w.size());  // the third entry is missing
  ASSERT_EQ(1u, bans_.records().size());
  EXPECT_EQ(kBanned, bans_.records()[0].flags);
}

}  // namespace
}  // namespace zanth::users
