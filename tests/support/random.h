// SPDX-License-Identifier: MIT
// random.h - the tests' seeded randomness: one seed per run, which the environment can set, and one
// generator that draws from it. A test program that uses them prints the seed after every failure
// (random.cpp), so that any failing run can be repeated exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrune::test {

// The seed of this run: KESTRUNE_TEST_SEED when set (decimal, or hexadecimal after 0x), else a
// fixed default.
uint64_t test_seed();

// "KESTRUNE_TEST_SEED=<seed>": the setting that repeats this run.
std::string seed_setting();

// SplitMix64 started from the seed of the run: small, and the same numbers on every platform and
// with every standard library. Generators given different `stream` numbers draw different numbers
// from the same seed.
class seeded_random {
 public:
  explicit seeded_random(uint64_t stream = 0) : state_(test_seed() ^ stream) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

  // 0 .. bound - 1 (bound > 0); uniform enough for bounds far below 2^64.
  template <typename T>
  T below(T bound) {
    static_assert(std::is_integral_v<T>);
    return static_cast<T>(next() % static_cast<uint64_t>(bound));
  }
  // low .. high, both included.
  template <typename T>
  T between(T low, T high) {
    return static_cast<T>(low + below<uint64_t>(static_cast<uint64_t>(high - low) + 1));
  }
  // true with probability p.
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }

  uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }
  uint8_t nonzero_byte() { return static_cast<uint8_t>(1 + below(255)); }

  template <typename T>
  void shuffle(std::vector<T>& items) {
    for (size_t i = items.size(); i > 1; i--) std::swap(items[i - 1], items[below(i)]);
  }

 private:
  uint64_t state_;
};

}  // namespace kestrune::test
