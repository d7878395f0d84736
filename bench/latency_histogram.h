// A fixed-size histogram of durations in microseconds with better than 0.1%
// relative resolution, for percentiles over millions of samples without
// keeping them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zanth::bench {

class LatencyHistogram {
 public:
  LatencyHistogram() : counts_(kBuckets, 0) {}

  void Add(std::int64_t micros) {
    std::uint64_t v = micros < 0 ? 0 : static_cast<std::uint64_t>(micros);
    ++counts_[BucketOf(v)];
    ++total_;
    if (v > max_) max_ = v;
  }

  void Merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    total_ += other.total_;
    if (other.max_ > max_) max_ = other.max_;
  }

  std::uint64_t count() const { return total_; }
  std::uint64_t max() const { return max_; }

  // The smallest value (bucket low edge) at or below which the fraction q
  // of the samples lie; 0 when there are none.
  std::uint64_t Percentile(double q) const {
    if (total_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(total_));
    if (rank >= total_) rank = total_ - 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += counts_[i];
      if (seen > rank) return LowEdge(i);
    }
    return max_;
  }

 private:
  // Values below 2^11 get a bucket each; above, each power of two is cut
  // into 2^10 equal buckets, up to 2^42 us (about 50 days).
  static constexpr int kLinearBits = 11;
  static constexpr int kSubBits = 10;
  static constexpr int kTopBit = 42;
  static constexpr std::size_t kBuckets =
      (std::size_t{1} << kLinearBits) +
      (kTopBit - kLinearBits) * (std::size_t{1} << kSubBits);

  static std::size_t BucketOf(std::uint64_t v) {
    if (v < (std::uint64_t{1} << kLinearBits))
      return static_cast<std::size_t>(v);
    int exponent = static_cast<int>(std::bit_width(v)) - 1;
    if (exponent >= kTopBit) return kBuckets - 1;
    std::uint64_t sub =
        (v >> (exponent - kSubBits)) & ((std::uint64_t{1} << kSubBits) - 1);
    return (std::size_t{1} << kLinearBits) +
           static_cast<std::size_t>(exponent - kLinearBits) *
               (std::size_t{1} << kSubBits) +
           static_cast<std::size_t>(sub);
  }

  static std::uint64_t LowEdge(std::size_t bucket) {
    if (bucket < (std::size_t{1} << kLinearBits)) return bucket;
    std::size_t above = bucket - (std::size_t{1} << kLinearBits);
    int exponent = kLinearBits + static_cast<int>(above >> kSubBits);
    std::uint64_t sub = above & ((std::size_t{1} << kSubBits) - 1);
    return (std::uint64_t{1} << exponent) + (sub << (exponent - kSubBits));
  }

  std::vector<std::uint64_t> counts_;
  std::uint64_t total_ = 0;
  std::uint64_t max_ = 0;
};

}  // namespace zanth::bench
