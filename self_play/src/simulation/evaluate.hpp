#pragma once
// Values a position for the search: a finished game by its payoff, any other by
// one request to the service, whose reply also expands the node.

#include <expected>

#include "evaluator.hpp"
#include "game.hpp"
#include "tree.hpp"

namespace velmar {

// Values by absolute player number.
using Values = std::array<float, kValues>;

std::expected<Values, EvalError> evaluate(Tree& tree, NodeIndex node, const Game& game, Evaluator& evaluator,
                                          Rng& rng);

}  // namespace velmar
