// Output blocks from slabs of their own.
#include "net/block_pool.h"

#include <cassert>
#include <cstring>
#include <new>

#include "platform/process.h"

namespace zanth::net {

struct BlockPool::Slab {
  std::uint8_t* base = nullptr;
  std::size_t block_size = 0;
  std::size_t blocks = 0;   // how many the slab holds
  std::size_t taken = 0;    // how many are out
  std::size_t carved = 0;   // how many were ever handed out (the rest never touched)
  std::uint8_t* free_head = nullptr;  // free blocks, linked through their first bytes
  int size_class = 0;
  // In open_[size_class] while it has a free block.
  Slab* prev = nullptr;
  Slab* next = nullptr;
  bool open = false;
};

namespace {

int ClassOf(std::size_t size) {
  int c = 0;
  for (std::size_t block = BlockPool::kSmallestBlock; block < size; block *= 2) ++c;
  return c;
}

}  // namespace

BlockPool::~BlockPool() {
  ReleaseFree();
  assert(slab_count_ == 0);
}

BlockPool::Block BlockPool::Take(std::size_t size) {
  Block block;
  if (size > kLargestBlock) {
    block.data = new (std::nothrow) std::uint8_t[size];
    block.capacity = block.data != nullptr ? size : 0;
    return block;
  }
  int c = ClassOf(size);
  Slab* slab = open_[c];
  if (slab == nullptr) {
    auto* fresh = new (std::nothrow) Slab;
    if (fresh == nullptr) return block;
    fresh->base = static_cast<std::uint8_t*>(platform::MapPages(kSlabSize));
    if (fresh->base == nullptr) {
      delete fresh;
      return block;
    }
    fresh->block_size = kSmallestBlock << c;
    fresh->blocks = kSlabSize / fresh->block_size;
    fresh->size_class = c;
    fresh->open = true;
    open_[c] = fresh;
    ++slab_count_;
    slab = fresh;
  }
  std::uint8_t* data;
  if (slab->free_head != nullptr) {
    data = slab->free_head;
    std::memcpy(&slab->free_head, data, sizeof slab->free_head);
  } else {
    data = slab->base + slab->carved * slab->block_size;
    ++slab->carved;
  }
  if (++slab->taken == slab->blocks) {
    // Full: out of the open list until a block comes back.
    open_[c] = slab->next;
    if (slab->next != nullptr) slab->next->prev = nullptr;
    slab->next = nullptr;
    slab->open = false;
  }
  block.data = data;
  block.capacity = slab->block_size;
  block.slab = slab;
  return block;
}

void BlockPool::Give(const Block& block) {
  if (block.data == nullptr) return;
  Slab* slab = block.slab;
  if (slab == nullptr) {
    delete[] block.data;
    return;
  }
  std::memcpy(block.data, &slab->free_head, sizeof slab->free_head);
  slab->free_head = block.data;
  --slab->taken;
  if (!slab->open) {
    Slab*& head = open_[slab->size_class];
    slab->prev = nullptr;
    slab->next = head;
    if (head != nullptr) head->prev = slab;
    head = slab;
    slab->open = true;
  }
}

std::size_t BlockPool::ReleaseFree() {
  std::size_t released = 0;
  for (Slab*& head : open_) {
    for (Slab* slab = head; slab != nullptr;) {
      Slab* next = slab->next;
      if (slab->taken == 0) {
        if (slab->prev != nullptr) slab->prev->next = next;
        if (next != nullptr) next->prev = slab->prev;
        if (head == slab) head = next;
        platform::UnmapPages(slab->base, kSlabSize);
        delete slab;
        --slab_count_;
        ++released;
      }
      slab = next;
    }
  }
  return released;
}

}  // namespace zanth::net
