// Link scrambling.
#include "net/scramble.h"

#include <bit>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZANTH_SCRAMBLE_AVX2 1
#endif
#include <algorithm>
#include <cstring>
#include <utility>
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

// The distance of each stage of a network.
constexpr int kStageDistance[kNetworkStages] = {64, 32, 16, 8, 4, 2, 1, 2, 4, 8, 16, 32, 64};

// Routes the permutation src (output p takes input src[p]; positions
// relative to base, n a power of two) through the stages level and
// 12 - level and the subnetworks between them: the looping algorithm. Marks
// in swap[stage] the lower position of each pair to swap.
void Route(const std::vector<int>& src, int base, int level, std::uint8_t swap[kNetworkStages][128]) {
  int n = static_cast<int>(src.size());
  if (n == 2) {
    if (src[0] == 1) swap[level][base] = 1;
    return;
  }
  int h = n / 2;
  std::vector<int> where(static_cast<std::size_t>(n));  // output of each input
  for (int p = 0; p < n; ++p) where[static_cast<std::size_t>(src[static_cast<std::size_t>(p)])] = p;
  // Which subnetwork each input crosses: the two inputs of a first-stage
  // pair take different ones, and so do the two sources of an output pair.
  std::vector<int> half(static_cast<std::size_t>(n), -1);
  auto at = [](std::vector<int>& v, int i) -> int& { return v[static_cast<std::size_t>(i)]; };
  auto cat = [](const std::vector<int>& v, int i) { return v[static_cast<std::size_t>(i)]; };
  for (int start = 0; start < h; ++start) {
    if (at(half, cat(src, start)) != -1) continue;
    int p = start;
    at(half, cat(src, p)) = 0;
    for (int step = 0; step < n; ++step) {
      int other = cat(src, p < h ? p + h : p - h);  // the output pair's other source
      if (at(half, other) != -1) break;
      at(half, other) = 1 - at(half, cat(src, p));
      int partner = other < h ? other + h : other - h;  // its first-stage partner
      if (at(half, partner) != -1) break;
      at(half, partner) = 1 - at(half, other);
      p = cat(where, partner);
    }
  }
  std::vector<int> lower(static_cast<std::size_t>(h));
  std::vector<int> upper(static_cast<std::size_t>(h));
  for (int i = 0; i < h; ++i) {
    if (at(half, i) == 1) swap[level][base + i] = 1;
    int a = cat(src, i);
    int b = cat(src, i + h);
    if (at(half, a) == 1) {
      swap[kNetworkStages - 1 - level][base + i] = 1;
      std::swap(a, b);
    }
    at(lower, i) = a % h;
    at(upper, i) = b % h;
  }
  Route(lower, base, level + 1, swap);
  Route(upper, base + h, level + 1, swap);
}

struct TableSet {
  std::vector<PermutationNetwork> sender;
  std::vector<PermutationNetwork> receiver;
  TableSet() : sender(kTableNumbers), receiver(kTableNumbers) {
    for (unsigned n = 0; n < kTableNumbers; ++n) {
      std::uint8_t table[128];
      BuildSenderTable(n, table);
      BuildNetwork(table, &sender[n]);
      BuildReceiverTable(n, table);
      BuildNetwork(table, &receiver[n]);
    }
  }
};

const TableSet& Tables() {
  static const TableSet tables;  // built once, on first use, thread-safely
  return tables;
}

// The keystream of one block depends only on the state it starts from:
// one step without output, then one step per byte, XORed in. Both are
// tabled for all 256 states.
struct StreamTable {
  std::uint64_t key[256][2];
  std::uint8_t next[256];
  StreamTable() {
    for (int start = 0; start < 256; ++start) {
      auto state = static_cast<std::uint8_t>(start);
      state = NextState(state);
      std::uint8_t bytes[kBlockSize];
      for (std::uint8_t& b : bytes) {
        state = NextState(state);
        b = state;
      }
      std::memcpy(key[start], bytes, kBlockSize);
      next[start] = state;
    }
  }
};

const StreamTable& Streams() {
  static const StreamTable streams;
  return streams;
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

void BuildNetwork(const std::uint8_t table[128], PermutationNetwork* network) {
  std::vector<int> src(128);
  for (int k = 0; k < 128; ++k) src[static_cast<std::size_t>(k)] = table[k] & 127;
  std::uint8_t swap[kNetworkStages][128] = {};
  Route(src, 0, 0, swap);
  // Block bit k is bit 63 - k % 64 of word k / 64. A pair (k, k + d) with
  // d < 64 lies in one word, marked at the lower bit of the two; with
  // d = 64 the pair is the same bit of both words.
  for (int stage = 0; stage < kNetworkStages; ++stage) {
    int d = kStageDistance[stage];
    std::uint64_t mask = 0;
    std::uint64_t mask_low_word = 0;
    for (int k = 0; k < 128; ++k) {
      if (!swap[stage][k]) continue;
      if (d == 64) {
        mask |= std::uint64_t{1} << (63 - k);
      } else if (k < 64) {
        mask |= std::uint64_t{1} << (63 - k - d);
      } else {
        mask_low_word |= std::uint64_t{1} << (63 - (k - 64) - d);
      }
    }
    network->mask[stage][0] = mask;
    // A swap across the words marks the same bit of both; stored twice so
    // that a vector stage reads one mask per word as the others do.
    network->mask[stage][1] = d == 64 ? mask : mask_low_word;
  }
}

const PermutationNetwork& SenderTable(unsigned table_number) {
  return Tables().sender[table_number % kTableNumbers];
}

const PermutationNetwork& ReceiverTable(unsigned table_number) {
  return Tables().receiver[table_number % kTableNumbers];
}

namespace {

std::uint64_t LoadBigEndian(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
}

void StoreBigEndian(std::uint64_t v, std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// One stage: swaps the bit pairs the stage's masks mark, D bits apart.
template <int D>
inline void Stage(const std::uint64_t mask[2], std::uint64_t* high, std::uint64_t* low) {
  if constexpr (D == 64) {
    std::uint64_t t = (*high ^ *low) & mask[0];
    *high ^= t;
    *low ^= t;
  } else {
    std::uint64_t t = ((*high >> D) ^ *high) & mask[0];
    *high ^= t ^ (t << D);
    std::uint64_t u = ((*low >> D) ^ *low) & mask[1];
    *low ^= u ^ (u << D);
  }
}

template <std::size_t... I>
inline void Stages(const PermutationNetwork& network, std::uint64_t* high, std::uint64_t* low,
                   std::index_sequence<I...>) {
  (Stage<kStageDistance[I]>(network.mask[I], high, low), ...);
}

}  // namespace

#ifdef __SSE2__
namespace {

// The same stages on both words at once: lane 0 holds the high word, lane 1
// the low one.
template <int D>
inline __m128i VectorStage(const std::uint64_t mask[2], __m128i x) {
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask));
  if constexpr (D == 64) {
    __m128i swapped = _mm_shuffle_epi32(x, 0x4E);
    return _mm_xor_si128(x, _mm_and_si128(_mm_xor_si128(x, swapped), m));
  } else {
    __m128i t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi64(x, D), x), m);
    return _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi64(t, D)));
  }
}

template <std::size_t... I>
inline __m128i VectorStages(const PermutationNetwork& network, __m128i x,
                            std::index_sequence<I...>) {
  ((x = VectorStage<kStageDistance[I]>(network.mask[I], x)), ...);
  return x;
}

}  // namespace
#endif

namespace {

// The network applied to a block held as two big-endian words, in
// registers.
inline void PermuteWords(const PermutationNetwork& network, std::uint64_t* high,
                         std::uint64_t* low) {
#ifdef __SSE2__
  __m128i x = _mm_set_epi64x(static_cast<long long>(*low), static_cast<long long>(*high));
  x = VectorStages(network, x, std::make_index_sequence<kNetworkStages>());
  *high = static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
  *low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x, x)));
#else
  Stages(network, high, low, std::make_index_sequence<kNetworkStages>());
#endif
}

// A big-endian word as the machine reads those bytes from memory, and back.
inline std::uint64_t MemoryOrder(std::uint64_t big_endian) {
  return std::endian::native == std::endian::little ? __builtin_bswap64(big_endian)
                                                    : big_endian;
}

}  // namespace

void PermuteBlock(const PermutationNetwork& network, const std::uint8_t in[kBlockSize],
                  std::uint8_t out[kBlockSize]) {
  std::uint64_t high = LoadBigEndian(in);
  std::uint64_t low = LoadBigEndian(in + 8);
  PermuteWords(network, &high, &low);
  StoreBigEndian(high, out);
  StoreBigEndian(low, out + 8);
}

namespace {

#ifdef ZANTH_SCRAMBLE_AVX2
// Two blocks at once in the two 128-bit lanes of an AVX2 register, each
// with its own network: half the instructions per block of the SSE2 path.
// Built for AVX2 whatever the build's target, and used only where the
// processor has it.
template <int D>
__attribute__((target("avx2"))) inline __m256i PairStage(const std::uint64_t first[2],
                                                        const std::uint64_t second[2],
                                                        __m256i x) {
  __m256i m = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(second)), 1);
  if constexpr (D == 64) {
    __m256i swapped = _mm256_shuffle_epi32(x, 0x4E);
    return _mm256_xor_si256(x, _mm256_and_si256(_mm256_xor_si256(x, swapped), m));
  } else {
    __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(x, D), x), m);
    return _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, D)));
  }
}

template <std::size_t... I>
__attribute__((target("avx2"))) inline __m256i PairStages(const PermutationNetwork& first,
                                                         const PermutationNetwork& second,
                                                         __m256i x, std::index_sequence<I...>) {
  ((x = PairStage<kStageDistance[I]>(first.mask[I], second.mask[I], x)), ...);
  return x;
}

// Blocks 2k and 2k + 1 of in, through networks[2k] and networks[2k + 1],
// with the keystream keys[...] XORed in after the permutation (scrambling)
// or before it (descrambling). in and out may be the same.
__attribute__((target("avx2"))) void RunPairsAvx2(const PermutationNetwork* const* networks,
                                                  const std::uint64_t* const* keys,
                                                  const std::uint8_t* in, std::uint8_t* out,
                                                  std::size_t pairs, bool scramble) {
  // Each 8-byte half of a block read as a big-endian word, and back.
  const __m256i swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  for (std::size_t p = 0; p < pairs; ++p) {
    const std::size_t a = 2 * p;
    __m256i key = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys[a]))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys[a + 1])), 1);
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + a * kBlockSize));
    if (!scramble) x = _mm256_xor_si256(x, key);
    x = _mm256_shuffle_epi8(x, swap);
    x = PairStages(*networks[a], *networks[a + 1], x, std::make_index_sequence<kNetworkStages>());
    x = _mm256_shuffle_epi8(x, swap);
    if (scramble) x = _mm256_xor_si256(x, key);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + a * kBlockSize), x);
  }
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Blocks per run planned at once: the state chain gives each block its
// network and keystream before any is permuted.
constexpr std::size_t kRunBlocks = 32;

// Runs the even part of count blocks from in to out (kRunBlocks at a time)
// through the networks of tables, advancing *state; returns how many blocks
// it did: none where the processor lacks AVX2.
std::size_t RunEvenBlocks(const PermutationNetwork* tables, std::uint8_t* state,
                          const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                          bool scramble) {
  if (!HasAvx2()) return 0;
  const StreamTable& streams = Streams();
  std::size_t done = 0;
  while (count - done >= 2) {
    const PermutationNetwork* networks[kRunBlocks];
    const std::uint64_t* keys[kRunBlocks];
    std::size_t run = std::min((count - done) & ~static_cast<std::size_t>(1), kRunBlocks);
    // The chain in a register: through the member it would wait on a store
    // and a load per block.
    std::uint8_t chain = *state;
    for (std::size_t i = 0; i < run; ++i) {
      networks[i] = &tables[chain % kTableCount];
      keys[i] = streams.key[chain];
      chain = streams.next[chain];
    }
    *state = chain;
    RunPairsAvx2(networks, keys, in + done * kBlockSize, out + done * kBlockSize, run / 2,
                 scramble);
    done += run;
  }
  return done;
}
#else
std::size_t RunEvenBlocks(const PermutationNetwork*, std::uint8_t*, const std::uint8_t*,
                          std::uint8_t*, std::size_t, bool) {
  return 0;
}
#endif

}  // namespace

void LinkScrambler::ScrambleBlocksTo(const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t count) {
  std::size_t done = RunEvenBlocks(tables_, &state_, in, out, count, true);
  for (std::size_t i = done; i < count; ++i) {
    ScrambleBlockTo(in + i * kBlockSize, out + i * kBlockSize);
  }
}

void LinkDescrambler::DescrambleBlocks(std::uint8_t* blocks, std::size_t count) {
  std::size_t done = RunEvenBlocks(tables_, &state_, blocks, blocks, count, false);
  for (std::size_t i = done; i < count; ++i) DescrambleBlock(blocks + i * kBlockSize);
}

void LinkScrambler::Start(std::uint8_t seed) {
  tables_ = &SenderTable(seed);  // seed, seed + 1, ... lie one after the other
  state_ = seed;
  started_ = true;
}

void LinkScrambler::ScrambleBlock(std::uint8_t block[kBlockSize]) {
  std::uint8_t out[kBlockSize];
  ScrambleBlockTo(block, out);
  std::memcpy(block, out, kBlockSize);
}

void LinkScrambler::ScrambleBlockTo(const std::uint8_t in[kBlockSize],
                                    std::uint8_t out[kBlockSize]) {
  // Permutation and keystream in registers, one store: writing the
  // permuted block and reading it back for the keystream would stall on the
  // store.
  std::uint64_t high = LoadBigEndian(in);
  std::uint64_t low = LoadBigEndian(in + 8);
  PermuteWords(tables_[state_ % kTableCount], &high, &low);
  const StreamTable& streams = Streams();
  std::uint64_t words[2] = {MemoryOrder(high) ^ streams.key[state_][0],
                            MemoryOrder(low) ^ streams.key[state_][1]};
  std::memcpy(out, words, kBlockSize);
  state_ = streams.next[state_];
}

void LinkDescrambler::Start(std::uint8_t seed) {
  tables_ = &ReceiverTable(seed);
  state_ = seed;
  started_ = true;
}

void LinkDescrambler::DescrambleBlock(std::uint8_t block[kBlockSize]) {
  const PermutationNetwork* table = &tables_[state_ % kTableCount];
  const StreamTable& streams = Streams();
  std::uint64_t words[2];
  std::memcpy(words, block, kBlockSize);
  std::uint64_t high = MemoryOrder(words[0] ^ streams.key[state_][0]);
  std::uint64_t low = MemoryOrder(words[1] ^ streams.key[state_][1]);
  state_ = streams.next[state_];
  PermuteWords(*table, &high, &low);
  StoreBigEndian(high, block);
  StoreBigEndian(low, block + 8);
}

}  // namespace zanth::net
