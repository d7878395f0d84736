// The console's log view store: its 32,000-byte text store, its index of 500
// line starts and the restart at byte 1.
#include "console/log_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zanth::console {
namespace {

// Line number n, padded so that every line has the same length.
std::string Line(int n, std::size_t length = 64) {
  std::string line = "line " + std::to_string(n) + " ";
  line.resize(length - 1, '.');
  return line + "\n";
}

class LogViewStoreTest : public ::testing::Test {
 protected:
  // The newest lines must be the numbers from first to last, in order.
  void ExpectRun(const std::vector<std::string_view>& lines, int last, std::size_t length = 64) {
    int n = last - static_cast<int>(lines.size()) + 1;
    for (std::string_view line : lines) {
      std::string expected = Line(n++, length);
      expected.pop_back();
      ASSERT_EQ(expected, line);
    }
  }

  LogViewStore store_;
};

TEST_F(LogViewStoreTest, FewLinesComeOldestFirstWithoutLineFeeds) {
  store_.Append("first\n");
  store_.Append("second\n");
  EXPECT_EQ((std::vector<std::string_view>{"first", "second"}), store_.NewestLines(10));
  EXPECT_EQ((std::vector<std::string_view>{"second"}), store_.NewestLines(1));
  EXPECT_TRUE(store_.NewestLines(0).empty());
}

TEST_F(LogViewStoreTest, MoreThan500LinesKeepTheNewest500) {
  // 600 short lines stay well inside the text store: only the index wraps.
  for (int n = 0; n < 600; ++n) store_.Append(Line(n, 20));
  std::vector<std::string_view> lines = store_.NewestLines(1000);
  ASSERT_EQ(LogViewStore::kIndexEntries, lines.size());
  ExpectRun(lines, 599, 20);
  EXPECT_EQ(600 % LogViewStore::kIndexEntries, store_.next_entry());
}

TEST_F(LogViewStoreTest, MoreThan32000BytesStillShowTheNewestLines) {
  // 3,000 lines of 64 bytes: the store restarts several times over.
  for (int n = 0; n < 3000; ++n) store_.Append(Line(n));
  std::vector<std::string_view> screen = store_.NewestLines(40);
  ASSERT_EQ(40u, screen.size());
  ExpectRun(screen, 2999);
  // Everything the store offers is intact: the newest lines in one run,
  // none written over by a later round.
  std::vector<std::string_view> all = store_.NewestLines(1000);
  EXPECT_GE(all.size(), 300u);
  EXPECT_LE(all.size(), LogViewStore::kStoreSize / 65);
  ExpectRun(all, 2999);
}

TEST_F(LogViewStoreTest, WrapRestartsAtByteOneAndKeepsWhatWasNotWrittenOver) {
  // 100-byte lines (with their NUL, 101): 316 fit from byte 1, ending at
  // byte 31,916; the 317th does not fit below 32,000.
  constexpr std::size_t kLength = 100;
  for (int n = 0; n < 316; ++n) store_.Append(Line(n, kLength));
  EXPECT_EQ(1 + 316 * (kLength + 1), store_.write_position());
  store_.Append(Line(316, kLength));
  EXPECT_EQ(1 + (kLength + 1), store_.write_position());
  // The new line took the bytes of line 0; lines 1 to 315 are still there.
  std::vector<std::string_view> lines = store_.NewestLines(1000);
  ASSERT_EQ(316u, lines.size());
  ExpectRun(lines, 316, kLength);
  // Two more lines cover lines 1 and 2.
  store_.Append(Line(317, kLength));
  store_.Append(Line(318, kLength));
  lines = store_.NewestLines(1000);
  ASSERT_EQ(316u, lines.size());
  ExpectRun(lines, 318, kLength);
}

TEST_F(LogViewStoreTest, LineThatFitsExactlyDoesNotRestart) {
  // From byte 1, a line of 31,998 bytes and its NUL end at byte 31,999.
  store_.Append(std::string(LogViewStore::kStoreSize - 2, 'x'));
  EXPECT_EQ(LogViewStore::kStoreSize, store_.write_position());
  store_.Append("y\n");
  EXPECT_EQ(1u + 3u, store_.write_position());
  EXPECT_EQ((std::vector<std::string_view>{"y"}), store_.NewestLines(5));
}

}  // namespace
}  // namespace zanth::console
