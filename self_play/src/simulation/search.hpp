#pragma once
// Monte Carlo tree search for one move: the root is valued and noised, then each
// simulation walks down a copy of the game by the selection score, values the
// leaf it reaches and backs that value up along its path.

#include <expected>

#include "config.hpp"
#include "evaluate.hpp"

namespace velmar {

// prior x C + Q, with C = ln(N + c_base + 1/c_base) + c_init for a parent of N visits.
NodeIndex select_child(const Tree& tree, NodeIndex parent, const SearchParams& params);

// Mixes Dirichlet noise into the priors of the root's children (two or more).
void add_root_noise(Tree& tree, const SearchParams& params, Rng& rng);

// Builds `tree` afresh for `game`. Only a failed root evaluation is returned as an
// error (after printing it); a failed leaf evaluation throws InternalFailure.
std::expected<void, EvalError> run_mcts(Tree& tree, const Game& game, const SearchParams& params,
                                        Evaluator& evaluator, Rng& rng);

}  // namespace velmar
