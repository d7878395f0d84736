// Link scrambling against independently computed tables and streams.
#include "net/scramble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>
#include <random>

#include "support/test_support.h"

namespace zanth::net {
namespace {

using testing::FromHex;
using testing::ProtocolVectors;
using testing::ToHex;

TEST(ScrambleTest, SenderTablesMatchVectors) {
  const auto& tables = ProtocolVectors()["link_tables"]["tables"];
  ASSERT_GE(tables.size(), 5u);
  for (const auto& [number, expected] : tables.items()) {
    std::uint8_t table[128];
    BuildSenderTable(static_cast<unsigned>(std::stoul(number)), table);
    for (int k = 0; k < 128; ++k) {
      ASSERT_EQ(table[k], expected[static_cast<std::size_t>(k)].get<int>())
          << "table " << number << " position " << k;
    }
  }
}

TEST(ScrambleTest, TablesArePermutationsAndReceiverInvertsSender) {
  for (unsigned number : {0u, 7u, 127u, 254u, 265u}) {
    std::uint8_t occ[128], inv[128];
    BuildSenderTable(number, occ);
    BuildReceiverTable(number, inv);
    bool seen[128] = {};
    for (int i = 0; i < 128; ++i) {
      ASSERT_LT(occ[i], 128);
      EXPECT_FALSE(seen[occ[i]]) << number;
      seen[occ[i]] = true;
      EXPECT_EQ(occ[inv[i]], i);
    }
  }
}

// The compiled networks against the tables bit by bit: every table number
// a seed can reach, on single bits (each output bit from the right input
// bit) and on random blocks.
TEST(ScrambleTest, NetworksApplyTheirTablesExactly) {
  std::mt19937 random(7);
  auto bit = [](const std::uint8_t* block, int k) { return (block[k / 8] >> (7 - k % 8)) & 1; };
  for (unsigned number = 0; number < 267; ++number) {
    for (bool sender : {true, false}) {
      std::uint8_t table[128];
      if (sender) {
        BuildSenderTable(number, table);
      } else {
        BuildReceiverTable(number, table);
      }
      const PermutationNetwork& network = sender ? SenderTable(number) : ReceiverTable(number);
      for (int trial = 0; trial < 128 + 8; ++trial) {
        std::uint8_t in[kBlockSize] = {};
        if (trial < 128) {
          in[trial / 8] = static_cast<std::uint8_t>(0x80 >> (trial % 8));
        } else {
          for (std::uint8_t& b : in) b = static_cast<std::uint8_t>(random());
        }
        std::uint8_t out[kBlockSize];
        PermuteBlock(network, in, out);
        for (int k = 0; k < 128; ++k) {
          ASSERT_EQ(bit(out, k), bit(in, table[k]))
              << (sender ? "sender " : "receiver ") << number << " trial " << trial << " bit " << k;
        }
      }
    }
  }
}

TEST(ScrambleTest, StreamsMatchVectors) {
  const auto& streams = ProtocolVectors()["scramble_streams"];
  ASSERT_FALSE(streams.empty());
  for (const auto& stream : streams) {
    auto seed = static_cast<std::uint8_t>(stream["seed"].get<int>());
    std::vector<std::uint8_t> plain = FromHex(stream["plain_hex"]);
    std::vector<std::uint8_t> wire = FromHex(stream["wire_hex"]);
    ASSERT_EQ(plain.size() % 16, 0u);
    ASSERT_EQ(wire.size(), plain.size() + 1);
    EXPECT_EQ(wire[0], seed);

    LinkScrambler scrambler;
    scrambler.Start(seed);
    std::vector<std::uint8_t> out = plain;
    for (std::size_t i = 0; i < out.size(); i += 16) scrambler.ScrambleBlock(&out[i]);
    EXPECT_EQ(ToHex(out), ToHex(wire.data() + 1, wire.size() - 1)) << "seed " << int(seed);

    LinkDescrambler descrambler;
    descrambler.Start(wire[0]);
    std::vector<std::uint8_t> back(wire.begin() + 1, wire.end());
    for (std::size_t i = 0; i < back.size(); i += 16) descrambler.DescrambleBlock(&back[i]);
    EXPECT_EQ(ToHex(back), ToHex(plain)) << "seed " << int(seed);
  }
}

TEST(ScrambleTest, RandomBlocksRoundTripForEverySeed) {
  std::mt19937 rng(1234);
  for (int seed = 0; seed <= 255; ++seed) {  // a peer may send seed 255
    LinkScrambler scrambler;
    LinkDescrambler descrambler;
    scrambler.Start(static_cast<std::uint8_t>(seed));
    descrambler.Start(static_cast<std::uint8_t>(seed));
    // Consecutive blocks exercise the state carried from block to block
    // across every table number.
    for (int b = 0; b < 30; ++b) {
      std::uint8_t block[16], copy[16];
      for (auto& byte : block) byte = static_cast<std::uint8_t>(rng());
      std::memcpy(copy, block, 16);
      scrambler.ScrambleBlock(block);
      descrambler.DescrambleBlock(block);
      ASSERT_EQ(0, std::memcmp(block, copy, 16)) << "seed " << seed << " block " << b;
    }
  }
}

// Runs of blocks (two at a time where the processor allows) give what the
// blocks give one by one, for every seed and run length.
TEST(ScrambleTest, RunsOfBlocksMatchSingleBlocks) {
  std::mt19937 rng(99);
  std::vector<std::uint8_t> plain(16 * 75);
  for (auto& byte : plain) byte = static_cast<std::uint8_t>(rng());
  for (int seed = 0; seed <= 255; seed += 5) {
    LinkScrambler one, run;
    one.Start(static_cast<std::uint8_t>(seed));
    run.Start(static_cast<std::uint8_t>(seed));
    std::vector<std::uint8_t> expected = plain;
    for (std::size_t at = 0; at < expected.size(); at += 16) one.ScrambleBlock(&expected[at]);
    std::vector<std::uint8_t> got(plain.size());
    // Runs of 1, 2, 3, ... blocks: odd ends and runs longer than a batch.
    std::size_t at = 0;
    for (std::size_t length = 1; at < plain.size(); ++length) {
      std::size_t blocks = std::min(length, (plain.size() - at) / 16);
      run.ScrambleBlocksTo(&plain[at], &got[at], blocks);
      at += 16 * blocks;
    }
    ASSERT_EQ(expected, got) << "seed " << seed;
    LinkDescrambler back;
    back.Start(static_cast<std::uint8_t>(seed));
    back.DescrambleBlocks(got.data(), 3);
    back.DescrambleBlocks(got.data() + 48, got.size() / 16 - 3);
    ASSERT_EQ(plain, got) << "seed " << seed;
  }
}

TEST(ScrambleTest, SameBlockTwiceGivesDifferentOutput) {
  LinkScrambler scrambler;
  scrambler.Start(254);
  std::uint8_t a[16] = {'M', 'd', 'C', 'h', 0, 0, 0, 16, 'P', 'i', 'n', 'g'};
  std::uint8_t b[16];
  std::memcpy(b, a, 16);
  scrambler.ScrambleBlock(a);
  scrambler.ScrambleBlock(b);
  EXPECT_NE(0, std::memcmp(a, b, 16));
}

TEST(ScrambleTest, StateAdvancesSeventeenStepsPerBlock) {
  // A zero block permutes to zeros, so the output is the XOR stream alone:
  // the second block's stream starts 17 steps after the seed.
  LinkScrambler scrambler;
  scrambler.Start(37);
  std::uint8_t first[16] = {}, second[16] = {};
  scrambler.ScrambleBlock(first);
  scrambler.ScrambleBlock(second);
  std::uint8_t state = 37;
  auto step = [&state] { state = static_cast<std::uint8_t>(7 * state + 3); };
  step();
  for (int j = 0; j < 16; ++j) {
    step();
    EXPECT_EQ(first[j], state);
  }
  step();
  for (int j = 0; j < 16; ++j) {
    step();
    EXPECT_EQ(second[j], state);
  }
}

}  // namespace
}  // namespace zanth::net
