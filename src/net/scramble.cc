// Link scrambling.
#include "net/scramble.h"

#include <cstring>
#include <vector>

namespace zanth::net {
namespace {

constexpr std::uint8_t kFree = 0xFF;

std::uint8_t NextState(std::uint8_t state) {
  return static_cast<std::uint8_t>(7 * state + 3);
}

// Table numbers run from 0 to 266: a peer may send any seed byte, and each
// direction uses its seed and the 11 numbers after it.
constexpr unsigned kTableNumbers = 267;

// Expands a permutation (O bit k = B bit table[k]; bit k is mask
// 0x80 >> (k % 8) of byte k / 8) into per-nibble output masks.
void Expand(const std::uint8_t table[128], ExpandedTable* out) {
  std::uint8_t bytes[32][16][16] = {};
  for (int k = 0; k < 128; ++k) {
    int from = table[k];
    int nibble = from / 4;          // byte from / 8, high nibble first
    int bit = 3 - from % 4;         // its bit within the nibble value
    for (int v = 0; v < 16; ++v) {
      if (v & (1 << bit)) {
        bytes[nibble][v][k / 8] = static_cast<std::uint8_t>(bytes[nibble][v][k / 8] | (0x80 >> (k % 8)));
      }
    }
  }
  std::memcpy(out->mask, bytes, sizeof bytes);
}

struct TableSet {
  std::vector<ExpandedTable> sender;
  std::vector<ExpandedTable> receiver;
  TableSet() : sender(kTableNumbers), receiver(kTableNumbers) {
    for (unsigned n = 0; n < kTableNumbers; ++n) {
      std::uint8_t table[128];
      BuildSenderTable(n, table);
      Expand(table, &sender[n]);
      BuildReceiverTable(n, table);
      Expand(table, &receiver[n]);
    }
  }
};

const TableSet& Tables() {
  static const TableSet tables;  // built once, on first use, thread-safely
  return tables;
}

// One step without output, then one step per byte, XORed in.
void ApplyStream(std::uint8_t* state, std::uint8_t block[kBlockSize]) {
  *state = NextState(*state);
  for (int j = 0; j < kBlockSize; ++j) {
    *state = NextState(*state);
    block[j] ^= *state;
  }
}

}  // namespace

void BuildSenderTable(unsigned table_number, std::uint8_t occ[128]) {
  std::memset(occ, kFree, 128);
  unsigned g = (7 * (table_number & 0xFFFFu) + 3) % 128;
  for (unsigned i = 0; i < 128; ++i) {
    g = (7 * g + 3) % 128;
    unsigned c = g;
    if (occ[c] != kFree) {
      // Probe 10, then (7j + 3) % 128 for j = 2, 3, ...; the main sequence
      // goes on from the last probe.
      g = 10;
      c = 10;
      unsigned j = 1;
      while (occ[c] != kFree) {
        ++j;
        g = (7 * j + 3) % 128;
        c = g;
      }
    }
    occ[c] = static_cast<std::uint8_t>(i);
  }
}

void BuildReceiverTable(unsigned table_number, std::uint8_t inv[128]) {
  std::uint8_t occ[128];
  BuildSenderTable(table_number, occ);
  for (int c = 0; c < 128; ++c) inv[occ[c]] = static_cast<std::uint8_t>(c);
}

const ExpandedTable& SenderTable(unsigned table_number) {
  return Tables().sender[table_number % kTableNumbers];
}

const ExpandedTable& ReceiverTable(unsigned table_number) {
  return Tables().receiver[table_number % kTableNumbers];
}

void PermuteBlock(const ExpandedTable& table, const std::uint8_t in[kBlockSize],
                  std::uint8_t out[kBlockSize]) {
  std::uint64_t lo = 0, hi = 0;
  for (int i = 0; i < kBlockSize; ++i) {
    const std::uint64_t* high = table.mask[2 * i][in[i] >> 4];
    const std::uint64_t* low = table.mask[2 * i + 1][in[i] & 15];
    lo |= high[0] | low[0];
    hi |= high[1] | low[1];
  }
  std::memcpy(out, &lo, 8);
  std::memcpy(out + 8, &hi, 8);
}

void LinkScrambler::Start(std::uint8_t seed) {
  for (int t = 0; t < kTableCount; ++t) tables_[t] = &SenderTable(seed + static_cast<unsigned>(t));
  state_ = seed;
  started_ = true;
}

void LinkScrambler::ScrambleBlock(std::uint8_t block[kBlockSize]) {
  std::uint8_t out[kBlockSize];
  PermuteBlock(*tables_[state_ % kTableCount], block, out);
  ApplyStream(&state_, out);
  std::memcpy(block, out, kBlockSize);
}

void LinkDescrambler::Start(std::uint8_t seed) {
  for (int t = 0; t < kTableCount; ++t) tables_[t] = &ReceiverTable(seed + static_cast<unsigned>(t));
  state_ = seed;
  started_ = true;
}

void LinkDescrambler::DescrambleBlock(std::uint8_t block[kBlockSize]) {
  const ExpandedTable* table = tables_[state_ % kTableCount];
  ApplyStream(&state_, block);
  std::uint8_t out[kBlockSize];
  PermuteBlock(*table, block, out);
  std::memcpy(block, out, kBlockSize);
}

}  // namespace zanth::net
