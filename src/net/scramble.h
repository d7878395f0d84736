// Link scrambling: every byte on chat and directory connections travels in
// 16-byte blocks put through a seeded bit permutation and an XOR stream.
// Each direction has its own seed, sent as one plain byte ahead of the first
// block.
#pragma once

#include <cstdint>

namespace zanth::net {

inline constexpr int kBlockSize = 16;
inline constexpr int kTableCount = 12;

// The sender's (position-to-index) table for one table number, and the
// receiver's inverse (index-to-position) table. Numbers run past 255: a seed
// of 254 uses 254 to 265.
void BuildSenderTable(unsigned table_number, std::uint8_t table[128]);
void BuildReceiverTable(unsigned table_number, std::uint8_t table[128]);

// A permutation table expanded for speed: for each of the 32 nibbles of a
// block and each nibble value, the output bits it sets. Shared by every
// connection; built once for all table numbers in use (0 to 266).
struct ExpandedTable {
  std::uint64_t mask[32][16][2];
};
const ExpandedTable& SenderTable(unsigned table_number);
const ExpandedTable& ReceiverTable(unsigned table_number);

// Applies an expanded table: O bit k = B bit table[k].
void PermuteBlock(const ExpandedTable& table, const std::uint8_t in[kBlockSize],
                  std::uint8_t out[kBlockSize]);

// One direction of a scrambled link.
class LinkScrambler {
 public:
  // Starts the sending direction with seed; builds the tables.
  void Start(std::uint8_t seed);
  bool started() const { return started_; }
  // Scrambles one block in place and advances the state by 17 steps.
  void ScrambleBlock(std::uint8_t block[kBlockSize]);

 private:
  bool started_ = false;
  std::uint8_t state_ = 0;
  const ExpandedTable* tables_[kTableCount] = {};
};

class LinkDescrambler {
 public:
  // Starts the receiving direction with the peer's seed byte.
  void Start(std::uint8_t seed);
  bool started() const { return started_; }
  // Descrambles one block in place and advances the state by 17 steps.
  void DescrambleBlock(std::uint8_t block[kBlockSize]);

 private:
  bool started_ = false;
  std::uint8_t state_ = 0;
  const ExpandedTable* tables_[kTableCount] = {};
};

}  // namespace zanth::net
