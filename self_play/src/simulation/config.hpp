#pragma once
// The six numbers that steer one self-play game.

#include <cstdint>

namespace velmar {

struct Config {
  std::uint64_t sims_per_move = 0;
  std::uint64_t sample_moves = 0;
  float c_base = 0;
  float c_init = 0;
  float dirichlet_alpha = 0;
  float exploration_fraction = 0;
};

// What the search needs, with the derived constants computed once per game.
struct SearchParams {
  std::uint64_t sims_per_move = 0;
  float c_base = 0;
  float c_base_inverse = 0;
  float c_init = 0;
  float dirichlet_alpha = 0;
  float exploration_fraction = 0;
  float keep_fraction = 0;  // 1 - exploration_fraction

  static SearchParams from(const Config& config) {
    return {config.sims_per_move,
            config.c_base,
            1.0f / config.c_base,
            config.c_init,
            config.dirichlet_alpha,
            config.exploration_fraction,
            1.0f - config.exploration_fraction};
  }
};

}  // namespace velmar
