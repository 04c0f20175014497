// Seeded pseudo-random numbers for reproducible fault injection.
#ifndef TOOLS_LINESIM_PRNG_H_
#define TOOLS_LINESIM_PRNG_H_

#include <cstdint>

namespace linesim {

// One step of splitmix64; used to expand a single seed into generator state.
inline uint64_t SplitMix64(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// xoshiro256**: fast, small state, good statistical quality for Bernoulli trials.
class Xoshiro256 {
 public:
  explicit Xoshiro256(uint64_t seed) : s_{} {
    uint64_t sm = seed;
    for (uint64_t& word : s_) word = SplitMix64(sm);
  }

  uint64_t Next() {
    const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, 1) with 53 bits of resolution.
  double NextUnit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

  // True with probability p. Always draws, so the number of draws per byte does not depend
  // on the outcome and a given seed and byte stream give the same decisions.
  bool Chance(double p) { return NextUnit() < p; }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  uint64_t s_[4];
};

}  // namespace linesim

#endif  // TOOLS_LINESIM_PRNG_H_
