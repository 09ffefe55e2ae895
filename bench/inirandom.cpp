// The uniform random generator of the benchmark and its reseeding.
//
// The state is one 64-bit word seeded from a single 32-bit integer; each draw
// advances it by the SplitMix64 step and keeps the top 24 bits of the mixed
// output. A value is k·2⁻²⁴ with 0 ≤ k < 2²⁴: exactly representable in single
// precision and strictly below 1.
#include <cstdint>

#include "bench/testsystem.h"

namespace bench {
namespace {

constexpr std::uint64_t increment = 0x9E3779B97F4A7C15ull;

std::uint64_t state = 0;

}  // namespace

int random_seed_size() { return 1; }

void random_put_seed(const int* seed) {
  state = static_cast<std::uint64_t>(static_cast<std::uint32_t>(seed[0]));
}

float uniform_random() {
  state += increment;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<float>(z >> 40) * 0x1p-24f;
}

// The state after k draws is the seed plus k increments, modulo 2⁶⁴.
void random_skip(const std::int64_t& count) { state += static_cast<std::uint64_t>(count) * increment; }

void ini_random() {
  const int k = random_seed_size();
  int seed[8];
  for (int i = 0; i < k; ++i) seed[i] = seed_table[i];
  random_put_seed(seed);
}

}  // namespace bench
