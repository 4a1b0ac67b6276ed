#pragma once
// Random numbers for the search: one generator per thread, seeded from the
// operating system's entropy source.

#include <cstddef>
#include <random>
#include <span>

namespace velmar {

using Rng = std::mt19937_64;

Rng& thread_rng();

// Uniform in [0, 1).
float uniform_float(Rng& rng);

// One draw of a symmetric Dirichlet distribution with concentration `alpha`,
// written into `out`. Throws InternalFailure "... AlphaTooSmall" unless alpha > 0.
void sample_dirichlet(Rng& rng, float alpha, std::span<float> out);

}  // namespace velmar
