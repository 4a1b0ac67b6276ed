#include "random.hpp"

#include <array>

#include "failure.hpp"

namespace velmar {

Rng& thread_rng() {
  thread_local Rng rng = [] {
    std::random_device entropy;
    std::array<std::random_device::result_type, 8> seed{};
    for (auto& word : seed) word = entropy();
    std::seed_seq sequence(seed.begin(), seed.end());
    return Rng(sequence);
  }();
  return rng;
}

float uniform_float(Rng& rng) {
  // 24 random bits: every float in [0, 1) on a 2^-24 grid, never 1.
  return static_cast<float>(rng() >> 40) * 0x1.0p-24f;
}

void sample_dirichlet(Rng& rng, float alpha, std::span<float> out) {
  if (!(alpha > 0.0f)) throw InternalFailure("called `Result::unwrap()` on an `Err` value: AlphaTooSmall");
  std::gamma_distribution<float> gamma(alpha, 1.0f);
  float sum = 0.0f;
  for (float& x : out) {
    x = gamma(rng);
    sum += x;
  }
  const float scale = 1.0f / sum;
  for (float& x : out) x *= scale;
}

}  // namespace velmar
