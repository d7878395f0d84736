// Output blocks from slabs of their own. A burst of output (a thousand
// sign-ons into one room) takes and frees thousands of blocks between the
// records that stay (connections, users); from the allocator's heap they
// would leave its pages partly used, and resident, for good. Slabs hold
// only blocks, and a slab whose blocks are all free goes back whole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zanth::net {

class BlockPool {
 public:
  // Blocks are kSmallestBlock bytes times a power of two, up to
  // kLargestBlock; a slab holds kSlabSize bytes of one size.
  static constexpr std::size_t kSmallestBlock = 512;
  static constexpr std::size_t kLargestBlock = 16384;
  static constexpr std::size_t kSlabSize = 64 * 1024;

  BlockPool() = default;
  // REQUIRES: every block was given back.
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  struct Slab;
  struct Block {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    Slab* slab = nullptr;  // nullptr: from the heap (larger than kLargestBlock)
  };

  // A block of at least size bytes (not zeroed); data is nullptr when
  // memory runs out.
  Block Take(std::size_t size);
  void Give(const Block& block);
  // Gives back every slab whose blocks are all free; returns how many.
  std::size_t ReleaseFree();

  std::size_t slab_count() const { return slab_count_; }

 private:
  static constexpr int kClasses = 6;  // 512 ... 16384
  // Slabs of one class with a free block, most recently freed into first.
  Slab* open_[kClasses] = {};
  std::size_t slab_count_ = 0;  // slabs mapped
};

}  // namespace zanth::net
