// The output blocks' pool: sizes, no two blocks sharing bytes, and slabs
// given back once all their blocks are.
#include "net/block_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zanth::net {
namespace {

TEST(BlockPoolTest, BlocksAreDistinctAndSlabsGoBackWhenAllTheirBlocksDo) {
  BlockPool pool;
  // Sizes round up to the next class; above the largest the heap serves.
  const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
      {1, 512}, {512, 512}, {513, 1024}, {5000, 8192}, {16384, 16384}, {16385, 16385}};
  for (auto [size, capacity] : sizes) {
    BlockPool::Block block = pool.Take(size);
    ASSERT_NE(nullptr, block.data) << size;
    EXPECT_EQ(capacity, block.capacity) << size;
    EXPECT_EQ(size > BlockPool::kLargestBlock, block.slab == nullptr) << size;
    pool.Give(block);
  }
  EXPECT_EQ(4u, pool.ReleaseFree());  // one slab per class used
  EXPECT_EQ(0u, pool.slab_count());

  // Enough small blocks for three slabs, each filled with its own byte.
  const std::size_t per_slab = BlockPool::kSlabSize / 512;
  std::vector<BlockPool::Block> blocks;
  for (std::size_t i = 0; i < 3 * per_slab; ++i) {
    blocks.push_back(pool.Take(300));
    ASSERT_NE(nullptr, blocks.back().data);
    std::memset(blocks.back().data, static_cast<int>(i % 251), 512);
  }
  EXPECT_EQ(3u, pool.slab_count());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t b = 0; b < 512; ++b) {
      ASSERT_EQ(static_cast<std::uint8_t>(i % 251), blocks[i].data[b]) << "block " << i;
    }
  }
  // One block left in the first slab keeps it; the other two go back.
  for (std::size_t i = 1; i < blocks.size(); ++i) pool.Give(blocks[i]);
  EXPECT_EQ(2u, pool.ReleaseFree());
  EXPECT_EQ(1u, pool.slab_count());
  // A block given back is the next one taken.
  pool.Give(blocks[0]);
  BlockPool::Block again = pool.Take(512);
  EXPECT_EQ(blocks[0].data, again.data);
  pool.Give(again);
  EXPECT_EQ(1u, pool.ReleaseFree());
  EXPECT_EQ(0u, pool.slab_count());
}

}  // namespace
}  // namespace zanth::net
