// The prop cache with its index file, and identifier texts.
#include "props/prop_cache.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "support/test_support.h"

namespace zanth::props {
namespace {

PropId Id(std::uint8_t first, std::uint8_t last = 0) {
  PropId id{};
  id[0] = first;
  id[19] = last;
  return id;
}

class PropCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, platform::MakeDirectory(dir_.File("props")));
    ASSERT_EQ(0, cache_.Open(index(), prop_dir()));
  }
  std::string index() const { return dir_.File("propcache.idx"); }
  std::string prop_dir() const { return dir_.File("props") + "/"; }
  int Store(const PropId& id, std::int32_t stamp, const std::string& data, std::string* name) {
    return cache_.Store(id, stamp, reinterpret_cast<const std::uint8_t*>(data.data()),
                        data.size(), name);
  }
  testing::TempDir dir_;
  PropCache cache_;
};

TEST_F(PropCacheTest, EmptyIndexOpensEmptyAndIsWrittenWithCountZero) {
  EXPECT_TRUE(cache_.entries().empty());
  EXPECT_EQ(std::string(4, '\0'), testing::ReadFileText(index()));
  ASSERT_EQ(0, platform::WriteWholeFile(index(), ""));
  PropCache again;
  ASSERT_EQ(0, again.Open(index(), prop_dir()));
  EXPECT_EQ(std::string(4, '\0'), testing::ReadFileText(index()));
}

// A cut index would be saved without the props it lost, their files left
// behind with no entry: every cut length is refused and left as it is.
// Bytes past the counted entries are what a purge leaves and do no harm.
TEST_F(PropCacheTest, CutIndexIsRefusedAndLeftAsItIs) {
  std::string name;
  ASSERT_EQ(0, Store(Id(1), 1, "one", &name));
  ASSERT_EQ(0, Store(Id(2), 1, "two", &name));
  const std::string whole = testing::ReadFileText(index());
  ASSERT_EQ(4 + 2 * kPropEntrySize, whole.size());
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    ASSERT_EQ(0, platform::WriteWholeFile(index(), whole.substr(0, cut)));
    PropCache damaged;
    std::string problem;
    EXPECT_EQ(-1, damaged.Open(index(), prop_dir(), &problem)) << cut;
    EXPECT_FALSE(problem.empty()) << cut;
    EXPECT_EQ(whole.substr(0, cut), testing::ReadFileText(index())) << cut;
  }
  ASSERT_EQ(0, platform::WriteWholeFile(index(), whole + std::string(50, 'x')));
  PropCache longer;
  ASSERT_EQ(0, longer.Open(index(), prop_dir()));
  EXPECT_EQ(2u, longer.entries().size());
}

TEST_F(PropCacheTest, StandardPropsAreNeverCached) {
  PropId standard{};
  standard[4] = 9;
  std::string name;
  EXPECT_EQ(-50, Store(standard, 1, "x", &name));
  cache_.Acquire(standard);
  EXPECT_TRUE(cache_.entries().empty());
  EXPECT_FALSE(cache_.IsCurrent(standard, 0));
}

TEST_F(PropCacheTest, UploadStampsFileNamesAndIndex) {
  std::string first, second, other;
  ASSERT_EQ(0, Store(Id(1), 5, "one", &first));
  EXPECT_TRUE(cache_.IsCurrent(Id(1), 5));
  EXPECT_FALSE(cache_.IsCurrent(Id(1), 6));
  ASSERT_EQ(0, Store(Id(1), 6, "two", &second));
  EXPECT_EQ(first, second);  // the name is kept, the content replaced
  EXPECT_EQ("two", testing::ReadFileText(prop_dir() + first));
  // Two new props in the same second still get distinct files.
  ASSERT_EQ(0, Store(Id(2), 1, "other", &other));
  EXPECT_NE(first, other);
  EXPECT_EQ(".prp", other.substr(other.size() - 4));
  EXPECT_EQ("two", testing::ReadFileText(prop_dir() + first));
  std::string bytes = testing::ReadFileText(index());
  ASSERT_EQ(4u + 2 * 92, bytes.size());
  EXPECT_EQ(2, bytes[0]);
  EXPECT_EQ(6, bytes[4 + 20]);  // the stamp, least significant byte first
  EXPECT_EQ(first, std::string(bytes.data() + 4 + 24));
  PropCache loaded;
  ASSERT_EQ(0, loaded.Open(index(), prop_dir()));
  ASSERT_EQ(2u, loaded.entries().size());
  EXPECT_EQ(0, loaded.entries()[0].references);
  EXPECT_EQ(other, loaded.entries()[1].file_name);
}

TEST_F(PropCacheTest, PurgeDropsOnlyUnreferencedProps) {
  std::string kept, dropped;
  ASSERT_EQ(0, Store(Id(1), 1, "a", &kept));
  ASSERT_EQ(0, Store(Id(2), 1, "b", &dropped));
  cache_.Acquire(Id(1));
  cache_.Acquire(Id(2));
  cache_.Release(Id(2));
  cache_.Release(Id(2));  // never below zero
  EXPECT_EQ(1, cache_.Purge());
  EXPECT_FALSE(platform::FileExists(prop_dir() + dropped));
  EXPECT_TRUE(platform::FileExists(prop_dir() + kept));
  PropCache loaded;
  ASSERT_EQ(0, loaded.Open(index(), prop_dir()));
  ASSERT_EQ(1u, loaded.entries().size());
  EXPECT_EQ(Id(1), loaded.entries()[0].id);
}

TEST(PropIdTextTest, MatchesVectorsAndReadsBothForms) {
  for (const auto& v : testing::ProtocolVectors()["prop_id_text"]) {
    std::vector<std::uint8_t> bytes = testing::FromHex(v["id_hex"]);
    PropId id{};
    std::copy(bytes.begin(), bytes.end(), id.begin());
    EXPECT_EQ(v["text"].get<std::string>(), PropIdText(id));
    PropId back{};
    ASSERT_TRUE(ParsePropIdText(v["text"].get<std::string>(), &back));
    EXPECT_EQ(id, back);
    ASSERT_TRUE(ParsePropIdText(v["plain_text"].get<std::string>(), &back));
    EXPECT_EQ(id, back);
  }
  PropId id{};
  EXPECT_FALSE(ParsePropIdText("#1234", &id));
  EXPECT_FALSE(ParsePropIdText(std::string(40, 'G'), &id));
}

TEST_F(PropCacheTest, IndexNamingFilesOutsideThePropFolderIsNotFollowed) {
  // A damaged index: names that would lead a purge or a store elsewhere.
  auto entry = [](std::uint8_t first, const std::string& name) {
    std::string bytes(kPropEntrySize, '\0');
    bytes[0] = static_cast<char>(first);
    bytes.replace(24, name.size(), name);
    return bytes;
  };
  std::string index_bytes = std::string("\x05\0\0\0", 4) + entry(1, "../escape.prp") +
                            entry(2, "a/b.prp") + entry(3, "..") + entry(4, "") +
                            entry(5, "kept.prp");
  ASSERT_EQ(0, platform::WriteWholeFile(index(), index_bytes));
  ASSERT_EQ(0, platform::WriteWholeFile(dir_.File("escape.prp"), "not a prop"));
  PropCache damaged;
  ASSERT_EQ(0, damaged.Open(index(), prop_dir()));
  ASSERT_EQ(1u, damaged.entries().size());
  EXPECT_EQ("kept.prp", damaged.entries()[0].file_name);
  EXPECT_EQ(1, damaged.Purge());
  EXPECT_EQ("not a prop", testing::ReadFileText(dir_.File("escape.prp")));
}

}  // namespace
}  // namespace zanth::props
