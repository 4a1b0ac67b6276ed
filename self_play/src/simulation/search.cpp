#include "search.hpp"

#include <cmath>
#include <limits>

#include "failure.hpp"
#include "output.hpp"

namespace velmar {

NodeIndex select_child(const Tree& tree, NodeIndex parent, const SearchParams& params) {
  const float n = static_cast<float>(tree[parent].visits);
  const float c = std::log(n + params.c_base + params.c_base_inverse) + params.c_init;
  const auto children = tree.children(parent);
  std::size_t best = 0;  // when no score is a number, the first child
  float best_score = -std::numeric_limits<float>::infinity();
  bool found = false;
  for (std::size_t k = 0; k < children.size(); ++k) {
    const Node& child = children[k];
    const float q = child.visits > 0 ? child.value_sum / static_cast<float>(child.visits) : 0.0f;
    const float score = child.prior * c + q;
    if (score > best_score || (!found && score == best_score)) {
      best = k;
      best_score = score;
      found = true;
    }
  }
  return tree.child_index(parent, best);
}

void add_root_noise(Tree& tree, const SearchParams& params, Rng& rng) {
  const auto children = tree.children(Tree::kRoot);
  if (children.size() < 2) return;
  FixedVec<float, kCells> noise;
  for (std::size_t k = 0; k < children.size(); ++k) noise.push_back(0.0f);
  sample_dirichlet(rng, params.dirichlet_alpha, {noise.begin(), noise.size()});
  for (std::size_t k = 0; k < children.size(); ++k) {
    children[k].prior = noise[k] * params.exploration_fraction + children[k].prior * params.keep_fraction;
  }
}

std::expected<void, EvalError> run_mcts(Tree& tree, const Game& game, const SearchParams& params,
                                        Evaluator& evaluator, Rng& rng) {
  tree.reset();
  if (auto root = evaluate(tree, Tree::kRoot, game, evaluator, rng); !root) {
    write_stdout("Error evaluating root node: " + root.error().debug + "\n");
    return std::unexpected(std::move(root.error()));
  }
  add_root_noise(tree, params, rng);

  FixedVec<NodeIndex, Game::kMaxMoves> path;
  for (std::uint64_t sim = 0; sim < params.sims_per_move; ++sim) {
    path.clear();
    NodeIndex parent = Tree::kRoot;
    NodeIndex node = Tree::kRoot;
    while (tree[node].child_count > 0) {
      parent = node;
      node = select_child(tree, node, params);
      path.push_back(node);
    }
    // The leaf's position: kept from an earlier visit, or its parent's plus one tile,
    // laid on the leaf's own kept copy so that the position is copied once.
    const Game* position = tree.state(node);
    if (!position && node != Tree::kRoot) {
      Game& fresh = tree.keep_state(node, tree.state(parent) ? *tree.state(parent) : game);
      (void)fresh.apply(tree[node].tile);  // children are legal tiles
      position = &fresh;
    }
    const auto value = evaluate(tree, node, position ? *position : game, evaluator, rng);
    if (!value) throw InternalFailure("called `Result::unwrap()` on an `Err` value: " + value.error().debug);
    for (NodeIndex i : path) {
      Node& n = tree[i];
      n.visits += 1;
      n.value_sum += (*value)[n.to_move];
    }
  }
  return {};
}

}  // namespace velmar
