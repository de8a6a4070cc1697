#pragma once

#include <cstdint>

namespace kivgen {

// Small deterministic generator (splitmix64): the same seed gives the same
// sequence on every platform, unlike the standard distributions.
class seeded_random {
 public:
  explicit seeded_random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // A number in [0, n); n must not be 0.
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
  // A number in [lo, hi].
  std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
  // True with a chance of `per_mille` in 1,000.
  bool chance(std::uint32_t per_mille) { return below(1000) < per_mille; }

 private:
  std::uint64_t state_;
};

}  // namespace kivgen
