// Log lines, the user field, the hex dump.
#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "core/hexdump.h"
#include "core/result.h"
#include "support/test_support.h"

namespace zanth {
namespace {

std::tm When() {
  std::tm t{};
  t.tm_year = 110;
  t.tm_mon = 0;
  t.tm_mday = 9;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 7;
  return t;
}

TEST(LogLineTest, FormatWithoutUser) {
  EXPECT_EQ("01/09/2010 14:03:07 - - -    debug hello\n",
            FormatLogLine(When(), nullptr, "debug", "hello"));
  EXPECT_EQ("01/09/2010 14:03:07 - - -  Discnct #3 1.2.3.4 bad data\n",
            FormatLogLine(When(), nullptr, "Discnct", "#3 1.2.3.4 bad data"));
}

TEST(LogLineTest, CategoryIsCutToEight) {
  EXPECT_EQ("01/09/2010 14:03:07 - - - ABCDEFGH x\n",
            FormatLogLine(When(), nullptr, "ABCDEFGHIJK", "x"));
}

TEST(LogLineTest, LineIsCutAt511Characters) {
  std::string line = FormatLogLine(When(), nullptr, "main", std::string(2000, 'a'));
  EXPECT_EQ(511u, line.size());
  EXPECT_EQ('a', line.back());
}

TEST(LogLineTest, UserFieldMatchesVectors) {
  for (const auto& v : testing::ProtocolVectors()["log_user_key"]) {
    LogUser user;
    user.signed_on = true;
    for (int i = 0; i < 4; ++i) {
      user.uuid[i] = static_cast<std::uint32_t>(
          std::stoul(v["uuid_words_hex"][static_cast<std::size_t>(i)].get<std::string>(), nullptr, 16));
    }
    user.client_number = 0x1234ABCD;
    user.number = 42;
    EXPECT_EQ(v["log_key"].get<std::string>() + " 1234ABCD 42", LogUserField(&user));
  }
}

TEST(LogLineTest, UserFieldParts) {
  LogUser user;
  EXPECT_EQ("- - -", LogUserField(&user));  // not signed on
  user.signed_on = true;
  user.number = 7;
  EXPECT_EQ("- - 7", LogUserField(&user));  // zero first UUID word, no client number
  EXPECT_EQ("01/09/2010 14:03:07 - - 7     main hi\n", FormatLogLine(When(), &user, "main", "hi"));
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, logger_.Open(dir_.File("zanth.log")));
    lines_.clear();
    logger_.SetSink([this](const std::string& line) { lines_.push_back(line); });
  }
  testing::TempDir dir_;
  Logger logger_;
  std::vector<std::string> lines_;
};

TEST_F(LoggerTest, LinesGoToFileAndSink) {
  logger_.Write(nullptr, "main", "Server Start");
  logger_.Write(nullptr, "main", "second");
  std::string file = testing::ReadFileText(dir_.File("zanth.log"));
  ASSERT_EQ(2u, lines_.size());
  EXPECT_EQ(lines_[0] + lines_[1], file);
  EXPECT_NE(std::string::npos, lines_[0].find("     main Server Start\n"));
}

TEST_F(LoggerTest, ReopeningAppends) {
  logger_.Write(nullptr, "main", "one");
  Logger again;
  ASSERT_EQ(0, again.Open(dir_.File("zanth.log")));
  again.Write(nullptr, "main", "two");
  std::string file = testing::ReadFileText(dir_.File("zanth.log"));
  EXPECT_NE(std::string::npos, file.find("one\n"));
  EXPECT_NE(std::string::npos, file.find("two\n"));
}

TEST_F(LoggerTest, ReopenFollowsARename) {
  logger_.Write(nullptr, "main", "before");
  ASSERT_EQ(0, std::rename(dir_.File("zanth.log").c_str(), dir_.File("zanth.log.1").c_str()));
  logger_.Write(nullptr, "main", "between");
  ASSERT_EQ(0, logger_.Reopen());
  logger_.Write(nullptr, "main", "after");
  ASSERT_EQ(0, logger_.Reopen());  // a reopen without a rename appends
  logger_.Write(nullptr, "main", "last");
  EXPECT_EQ(lines_[0] + lines_[1], testing::ReadFileText(dir_.File("zanth.log.1")));
  EXPECT_EQ(lines_[2] + lines_[3], testing::ReadFileText(dir_.File("zanth.log")));
}

TEST_F(LoggerTest, FailedReopenKeepsWritingToTheOpenFile) {
  ASSERT_EQ(0, std::rename(dir_.File("zanth.log").c_str(), dir_.File("zanth.log.1").c_str()));
  ASSERT_EQ(0, mkdir(dir_.File("zanth.log").c_str(), 0700));  // the name cannot be opened
  EXPECT_NE(0, logger_.Reopen());
  logger_.Write(nullptr, "main", "still here");
  EXPECT_EQ(lines_[0], testing::ReadFileText(dir_.File("zanth.log.1")));
}

TEST(LogErrorTest, ErrorWithCodeZeroIsTheMessageAlone) {
  std::vector<std::string> lines;
  GetLogger().SetSink([&lines](const std::string& line) { lines.push_back(line); });
  LogError(0, "creating %s", "zanth directory");
  LogError(2, "opening %s", "x");
  LogError(kNoMemory, "queue");
  GetLogger().SetSink(nullptr);
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("   Error creating zanth directory\n"));
  EXPECT_NE(std::string::npos, lines[1].find("   Error 2 (No such file or directory) opening x\n"));
  EXPECT_NE(std::string::npos, lines[2].find("Error -108 (out of memory) queue\n"));
}

TEST(LogErrorTest, DebugLinesOnlyWhenVerbose) {
  std::vector<std::string> lines;
  GetLogger().SetSink([&lines](const std::string& line) { lines.push_back(line); });
  LogDebug("hidden %d", 1);
  GetLogger().set_verbose(true);
  LogDebug("shown %d", 2);
  GetLogger().set_verbose(false);
  GetLogger().SetSink(nullptr);
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("- - -    debug shown 2\n"));
}

TEST(HexDumpTest, SeventeenBytesGiveTwoLines) {
  std::uint8_t bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<std::uint8_t>(0x41 + i);
  bytes[3] = 0x0A;
  bytes[4] = 0x7F;
  std::vector<std::string> lines = HexDumpLines(bytes, 17);
  ASSERT_EQ(2u, lines.size());
  std::size_t colon = lines[0].find("): ");
  ASSERT_NE(std::string::npos, colon);
  EXPECT_EQ(" (00000000): 41 42 43 0A 7F 46 47 48 49 4A 4B 4C 4D 4E 4F 50     ABC..FGHIJKLMNOP",
            lines[0].substr(colon - 10));
  std::size_t colon2 = lines[1].find("): ");
  EXPECT_EQ(" (00000010): 51 " + std::string(15 * 3, ' ') + "    Q", lines[1].substr(colon2 - 10));
  EXPECT_TRUE(HexDumpLines(bytes, 0).empty());
}

}  // namespace
}  // namespace zanth
