#pragma once
// Plays one whole game by search and returns its training record.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "config.hpp"
#include "evaluator.hpp"
#include "game.hpp"
#include "tree.hpp"

namespace velmar {

struct PolicyEntry {
  std::int32_t tile;
  float share;  // the child's share of the root's visits
};
using PolicyRecord = std::vector<PolicyEntry>;

struct Record {
  std::vector<Move> moves;
  std::vector<PolicyRecord> policies;  // one per move, in the root's child order
  Payoff payoff{};
};

// The visit shares of the root's children.
PolicyRecord policy_record(const Tree& tree);

// The tile to play: drawn in proportion to the visits when `draw`, else the most
// visited child (the last of equals).
std::uint16_t choose_tile(const Tree& tree, bool draw, Rng& rng);

// The error text is "Error running MCTS" after a failed root evaluation.
std::expected<Record, std::string> play_game(const Config& config, Evaluator& evaluator);

}  // namespace velmar
