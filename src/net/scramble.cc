// Link scrambling.
#include "net/scramble.h"

#include <cstring>

namespace zanth::net {
namespace {

constexpr std::uint8_t kFree = 0xFF;

std::uint8_t NextState(std::uint8_t state) {
  return static_cast<std::uint8_t>(7 * state + 3);
}

// O bit k := B bit table[k]; bit k is mask 0x80 >> (k % 8) of byte k / 8.
void Permute(const std::uint8_t table[128], const std::uint8_t in[kBlockSize],
             std::uint8_t out[kBlockSize]) {
  std::memset(out, 0, kBlockSize);
  for (int k = 0; k < 128; ++k) {
    int from = table[k];
    if (in[from / 8] & (0x80 >> (from % 8))) {
      out[k / 8] = static_cast<std::uint8_t>(out[k / 8] | (0x80 >> (k % 8)));
    }
  }
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

void LinkScrambler::Start(std::uint8_t seed) {
  for (int t = 0; t < kTableCount; ++t) BuildSenderTable(seed + static_cast<unsigned>(t), tables_[t]);
  state_ = seed;
  started_ = true;
}

void LinkScrambler::ScrambleBlock(std::uint8_t block[kBlockSize]) {
  std::uint8_t out[kBlockSize];
  Permute(tables_[state_ % kTableCount], block, out);
  ApplyStream(&state_, out);
  std::memcpy(block, out, kBlockSize);
}

void LinkDescrambler::Start(std::uint8_t seed) {
  for (int t = 0; t < kTableCount; ++t) BuildReceiverTable(seed + static_cast<unsigned>(t), tables_[t]);
  state_ = seed;
  started_ = true;
}

void LinkDescrambler::DescrambleBlock(std::uint8_t block[kBlockSize]) {
  const std::uint8_t* table = tables_[state_ % kTableCount];
  ApplyStream(&state_, block);
  std::uint8_t out[kBlockSize];
  Permute(table, block, out);
  std::memcpy(block, out, kBlockSize);
}

}  // namespace zanth::net
