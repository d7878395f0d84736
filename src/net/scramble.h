// Link scrambling: every byte on chat and directory connections travels in
// 16-byte blocks put through a seeded bit permutation and an XOR stream.
// Each direction has its own seed, sent as one plain byte ahead of the first
// block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zanth::net {

inline constexpr int kBlockSize = 16;
inline constexpr int kTableCount = 12;

// The sender's (position-to-index) table for one table number, and the
// receiver's inverse (index-to-position) table. Numbers run past 255: a seed
// of 254 uses 254 to 265.
void BuildSenderTable(unsigned table_number, std::uint8_t table[128]);
void BuildReceiverTable(unsigned table_number, std::uint8_t table[128]);

// A permutation table compiled into a Benes network: 13 stages of bit
// swaps at distances 64, 32, ..., 1, ..., 32, 64 over the block read as two
// big-endian words. 208 bytes a table, so all 267 of them (0 to 266) stay in
// the processor's cache, where a lookup table per nibble would need 8 KiB
// each. Shared by every connection; built once, on first use.
inline constexpr int kNetworkStages = 13;
struct PermutationNetwork {
  std::uint64_t mask[kNetworkStages][2];
};
// Compiles table (O bit k = B bit table[k]; bit k is mask 0x80 >> (k % 8)
// of byte k / 8) into a network.
void BuildNetwork(const std::uint8_t table[128], PermutationNetwork* network);
const PermutationNetwork& SenderTable(unsigned table_number);
const PermutationNetwork& ReceiverTable(unsigned table_number);

// Applies a network: O bit k = B bit table[k].
void PermuteBlock(const PermutationNetwork& network, const std::uint8_t in[kBlockSize],
                  std::uint8_t out[kBlockSize]);

// One direction of a scrambled link.
class LinkScrambler {
 public:
  // Starts the sending direction with seed; builds the tables.
  void Start(std::uint8_t seed);
  bool started() const { return started_; }
  // Scrambles one block in place and advances the state by 17 steps.
  void ScrambleBlock(std::uint8_t block[kBlockSize]);
  // The same from in to out (the same place, or places that do not
  // overlap): scrambling while copying, so that queueing a message reads
  // and writes it once.
  void ScrambleBlockTo(const std::uint8_t in[kBlockSize], std::uint8_t out[kBlockSize]);
  // count consecutive blocks from in to out (the same place, or places that
  // do not overlap), as count calls of ScrambleBlockTo; two at a time where
  // the processor has AVX2.
  void ScrambleBlocksTo(const std::uint8_t* in, std::uint8_t* out, std::size_t count);

 private:
  bool started_ = false;
  std::uint8_t state_ = 0;
  // The kTableCount networks of the seed, one after the other.
  const PermutationNetwork* tables_ = nullptr;
};

class LinkDescrambler {
 public:
  // Starts the receiving direction with the peer's seed byte.
  void Start(std::uint8_t seed);
  bool started() const { return started_; }
  // Descrambles one block in place and advances the state by 17 steps.
  void DescrambleBlock(std::uint8_t block[kBlockSize]);
  // count consecutive blocks in place, as count calls of DescrambleBlock.
  void DescrambleBlocks(std::uint8_t* blocks, std::size_t count);

 private:
  bool started_ = false;
  std::uint8_t state_ = 0;
  const PermutationNetwork* tables_ = nullptr;
};

}  // namespace zanth::net
