#include "driver.hpp"

#include "output.hpp"
#include "search.hpp"

namespace velmar {
namespace {

std::uint32_t total_visits(const Tree& tree) {
  std::uint32_t total = 0;
  for (const Node& child : tree.children(Tree::kRoot)) total += child.visits;
  return total;
}

std::string summary_line(const Payoff& payoff, const Scores& scores) {
  const std::array<int, kPlayers> as_ints = {scores[0], scores[1], scores[2], scores[3]};
  return "Game finished with payoff: " + format_list(std::span<const float>(payoff)) +
         " and score: " + format_list(std::span<const int>(as_ints)) + "\n";
}

}  // namespace

PolicyRecord policy_record(const Tree& tree) {
  const float total = static_cast<float>(total_visits(tree));
  PolicyRecord record;
  record.reserve(tree[Tree::kRoot].child_count);
  for (const Node& child : tree.children(Tree::kRoot)) {
    record.push_back({static_cast<std::int32_t>(child.tile), static_cast<float>(child.visits) / total});
  }
  return record;
}

std::uint16_t choose_tile(const Tree& tree, bool draw, Rng& rng) {
  const auto children = tree.children(Tree::kRoot);
  if (draw) {
    const float total = static_cast<float>(total_visits(tree));
    const float r = uniform_float(rng);
    float s = 0.0f;
    for (const Node& child : children) {
      s += static_cast<float>(child.visits) / total;
      if (s > r) return child.tile;
    }
    return children.back().tile;  // float shortfall, or no visits at all
  }
  std::size_t best = 0;
  for (std::size_t k = 1; k < children.size(); ++k) {
    if (children[k].visits >= children[best].visits) best = k;
  }
  return children[best].tile;
}

std::expected<Record, std::string> play_game(const Config& config, Evaluator& evaluator) {
  const SearchParams params = SearchParams::from(config);
  Rng& rng = thread_rng();
  Game game = Game::reset();
  Record record;
  ProgressBar bar(kCells);
  Tree tree;

  while (!game.is_over()) {
    if (auto searched = run_mcts(tree, game, params, evaluator, rng); !searched) {
      write_stdout("Error running MCTS: " + searched.error().debug + "\n");
      return std::unexpected(std::string("Error running MCTS"));
    }
    if (tree[Tree::kRoot].child_count == 0)
      throw InternalFailure("called `Option::unwrap()` on a `None` value");
    record.policies.push_back(policy_record(tree));
    const bool draw = record.policies.size() < config.sample_moves;
    const std::uint16_t tile = choose_tile(tree, draw, rng);
    (void)game.apply(tile);  // a child of the root is always legal
    bar.advance();
  }

  const Payoff payoff = game.get_payoff();
  const Scores scores = game.get_score();
  record.moves.assign(game.history.begin(), game.history.end());
  record.payoff = payoff;
  bar.finish();
  write_stdout(summary_line(payoff, scores));
  return record;
}

}  // namespace velmar
