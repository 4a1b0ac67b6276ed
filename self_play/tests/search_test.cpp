#include "search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "engine_test_util.hpp"

namespace velmar {
namespace {

using testing::child_tiles;
using testing::expand_root;
using testing::fail_with;
using testing::params;
using testing::ScriptedEvaluator;

// --- selection ---------------------------------------------------------------

TEST(Select, WorkedExampleAtTheRoot) {
  Tree tree;
  Rng rng{1};
  expand_root(tree, {7, 9}, rng);
  Node& a = tree[tree.child_index(Tree::kRoot, testing::position_of(tree, Tree::kRoot, 7))];
  Node& b = tree[tree.child_index(Tree::kRoot, testing::position_of(tree, Tree::kRoot, 9))];
  a.prior = 0.5f;  // scores 0.5 ln 2 ~ 0.3466
  b.prior = 0.2f;  // scores 0.2 ln 2 + 0.25 ~ 0.3886
  b.visits = 1;
  b.value_sum = 0.25f;
  EXPECT_EQ(tree[select_child(tree, Tree::kRoot, params(1.0f, 0.0f))].tile, 9u);
  b.value_sum = 0.20f;  // 0.3386 now loses
  EXPECT_EQ(tree[select_child(tree, Tree::kRoot, params(1.0f, 0.0f))].tile, 7u);
}

struct Coefficient {
  std::uint32_t parent_visits;
  float c_base, c_init;
  double expected;  // ln(N + c_base + 1/c_base) + c_init
};

class ExplorationCoefficient : public ::testing::TestWithParam<Coefficient> {};

// An unvisited child of prior 1 scores exactly C; a visited child of prior 0
// scores its mean value. Which one wins brackets C from both sides.
TEST_P(ExplorationCoefficient, BracketedByAMeanValue) {
  const Coefficient c = GetParam();
  ASSERT_NEAR(std::log(c.parent_visits + c.c_base + 1.0 / c.c_base) + c.c_init, c.expected, 1e-4);
  Tree tree;
  Rng rng{3};
  expand_root(tree, {1, 2}, rng);
  tree[Tree::kRoot].visits = c.parent_visits;
  Node& explorer = tree.children(Tree::kRoot)[0];
  Node& exploiter = tree.children(Tree::kRoot)[1];
  explorer.prior = 1.0f;
  exploiter.prior = 0.0f;
  exploiter.visits = 4;
  const SearchParams p = params(c.c_base, c.c_init);
  for (const double factor : {0.999, 1.001}) {
    exploiter.value_sum = static_cast<float>(4 * c.expected * factor);
    const NodeIndex chosen = select_child(tree, Tree::kRoot, p);
    EXPECT_EQ(chosen, tree.child_index(Tree::kRoot, factor < 1 ? 0 : 1)) << "factor " << factor;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExplorationCoefficient,
                         ::testing::Values(Coefficient{0, 1.0f, 0.0f, 0.693147},  // ln 2
                                           Coefficient{3, 2.0f, 0.5f, 2.204748},  // ln 5.5 + 0.5
                                           Coefficient{0, 2.0f, 0.0f, 0.916291},  // ln 2.5
                                           Coefficient{10, 4.0f, 1.25f, 3.906757},
                                           Coefficient{1000, 19652.0f, 1.25f, 11.185567}));

TEST(Select, EqualScoresKeepTheEarlierChild) {
  Tree tree;
  Rng rng{5};
  expand_root(tree, {10, 11, 12, 13}, rng);
  const SearchParams p = params(1.0f, 0.0f);
  EXPECT_EQ(select_child(tree, Tree::kRoot, p), tree.child_index(Tree::kRoot, 0));
  auto children = tree.children(Tree::kRoot);
  children[0].prior = 0.1f;
  children[1].prior = 0.3f;
  children[2].prior = 0.3f;
  children[3].prior = 0.3f;
  EXPECT_EQ(select_child(tree, Tree::kRoot, p), tree.child_index(Tree::kRoot, 1));
  children[3].prior = 0.30001f;
  EXPECT_EQ(select_child(tree, Tree::kRoot, p), tree.child_index(Tree::kRoot, 3));
}

TEST(Select, ExplorationIgnoresChildVisits) {
  Tree tree;
  Rng rng{6};
  expand_root(tree, {1, 2}, rng);
  auto children = tree.children(Tree::kRoot);
  children[0].prior = 0.6f;  // visited often, mean value 0
  children[0].visits = 1000;
  children[1].prior = 0.5f;
  EXPECT_EQ(select_child(tree, Tree::kRoot, params(1.0f, 0.0f)), tree.child_index(Tree::kRoot, 0));
}

// --- root noise --------------------------------------------------------------

TEST(Noise, NotDrawnForFewerThanTwoChildren) {
  Tree tree;
  Rng rng{8};
  tree.reset();
  for (const float alpha : {0.3f, 0.0f, std::numeric_limits<float>::quiet_NaN()}) {
    Rng before = rng;
    add_root_noise(tree, params(1.0f, 0.0f, 0, alpha, 1.0f), rng);
    EXPECT_EQ(rng, before);
    expand_root(tree, {42}, rng);
    tree.children(Tree::kRoot)[0].prior = 0.7f;
    before = rng;
    add_root_noise(tree, params(1.0f, 0.0f, 0, alpha, 1.0f), rng);
    EXPECT_EQ(tree.children(Tree::kRoot)[0].prior, 0.7f);
    EXPECT_EQ(rng, before);
    tree.reset();
  }
}

std::vector<float> priors(const Tree& tree) {
  std::vector<float> out;
  for (const Node& child : tree.children(Tree::kRoot)) out.push_back(child.prior);
  return out;
}

TEST(Noise, ZeroFractionKeepsPriors) {
  Tree tree;
  Rng rng{9};
  expand_root(tree, {1, 2, 3, 4, 5}, rng);
  tree.children(Tree::kRoot)[0].prior = 0.6f;
  tree.children(Tree::kRoot)[1].prior = 0.0f;
  const auto before = priors(tree);
  add_root_noise(tree, params(1.0f, 0.0f, 0, 0.3f, 0.0f), rng);
  EXPECT_EQ(priors(tree), before);
}

TEST(Noise, FullFractionReplacesPriors) {
  Tree tree;
  Rng rng{10};
  expand_root(tree, {1, 2, 3, 4, 5, 6}, rng);
  for (Node& child : tree.children(Tree::kRoot)) child.prior = 5.0f;  // far from any noise value
  add_root_noise(tree, params(1.0f, 0.0f, 0, 0.3f, 1.0f), rng);
  float sum = 0.0f;
  for (const float prior : priors(tree)) {
    EXPECT_GE(prior, 0.0f);
    EXPECT_LE(prior, 1.0f);
    sum += prior;
  }
  EXPECT_NEAR(sum, 1.0f, 1e-5f);
}

TEST(Noise, MixesByTheFraction) {
  Tree tree;
  Rng rng{11};
  expand_root(tree, {1, 2, 3, 4}, rng);
  const auto before = priors(tree);  // 0.25 each
  add_root_noise(tree, params(1.0f, 0.0f, 0, 0.3f, 0.25f), rng);
  const auto after = priors(tree);
  float sum = 0.0f;
  for (std::size_t k = 0; k < after.size(); ++k) {
    EXPECT_GE(after[k], 0.75f * before[k] - 1e-6f);
    EXPECT_LE(after[k], 0.25f + 0.75f * before[k] + 1e-6f);
    sum += after[k];
  }
  EXPECT_NEAR(sum, 1.0f, 1e-5f);
  EXPECT_NE(after, before);
}

class BadAlpha : public ::testing::TestWithParam<float> {};

TEST_P(BadAlpha, FailsWithTwoChildren) {
  Tree tree;
  Rng rng{12};
  expand_root(tree, {1, 2}, rng);
  EXPECT_ENGINE_FAILURE(add_root_noise(tree, params(1.0f, 0.0f, 0, GetParam(), 0.25f), rng),
                        "called `Result::unwrap()` on an `Err` value: AlphaTooSmall");
}

INSTANTIATE_TEST_SUITE_P(Values, BadAlpha,
                         ::testing::Values(0.0f, -0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                                           -std::numeric_limits<float>::infinity()));

// --- the search --------------------------------------------------------------

TEST(RunMcts, NoSimulationsLeaveEveryChildUnvisited) {
  Tree tree;
  Rng rng{13};
  ScriptedEvaluator evaluator;
  ASSERT_TRUE(run_mcts(tree, Game::reset(), params(1.0f, 0.0f, 0), evaluator, rng).has_value());
  EXPECT_EQ(evaluator.calls, 1u);
  EXPECT_EQ(testing::sorted(child_tiles(tree, Tree::kRoot)), testing::kOpening0);
  for (const Node& child : tree.children(Tree::kRoot)) EXPECT_EQ(child.visits, 0u);
}

void check_node(const Tree& tree, NodeIndex i, float mover_value, std::size_t mover) {
  std::uint32_t below = 0;
  for (std::size_t k = 0; k < tree[i].child_count; ++k) {
    const NodeIndex c = tree.child_index(i, k);
    below += tree[c].visits;
    check_node(tree, c, mover_value, mover);
  }
  if (i == Tree::kRoot) return;
  const Node& n = tree[i];
  // A node is passed by every walk through its children, plus the one that expanded it.
  EXPECT_EQ(n.visits, below + (n.child_count > 0 ? 1u : 0u)) << "tile " << n.tile;
  if (n.child_count > 0) {
    EXPECT_EQ(n.to_move, mover);
  }
  EXPECT_EQ(n.value_sum, mover_value * static_cast<float>(n.visits)) << "tile " << n.tile;
}

class Backup : public ::testing::TestWithParam<std::size_t> {};

// A few simulations stay inside the first piece, so the mover never changes.
TEST_P(Backup, VisitsAndValuesAlongEveryPath) {
  const std::size_t p = GetParam();
  Tree tree;
  Rng rng{14};
  const std::vector<float> reply_values = {0.5f, 0.25f, 0.125f, 0.0625f};
  ScriptedEvaluator evaluator([&](const Planes&, std::size_t) {
    return testing::make_reply(std::vector<float>(kCells, 0.0f), reply_values);
  });
  constexpr std::uint64_t sims = 4;
  ASSERT_TRUE(
      run_mcts(tree, testing::game_with_mover(p), params(1.0f, 0.0f, sims), evaluator, rng).has_value());
  EXPECT_EQ(evaluator.calls, sims + 1);
  EXPECT_EQ(tree[Tree::kRoot].visits, 0u);
  EXPECT_EQ(tree[Tree::kRoot].value_sum, 0.0f);
  EXPECT_EQ(tree[Tree::kRoot].to_move, p);
  std::uint32_t root_visits = 0;
  for (const Node& child : tree.children(Tree::kRoot)) root_visits += child.visits;
  EXPECT_EQ(root_visits, sims);
  // The mover's own entry of the rotated value list: slot k goes to player (k - p) mod 4.
  const float mover_value = reply_values[(2 * p) % 4];
  check_node(tree, Tree::kRoot, mover_value, p);
}

INSTANTIATE_TEST_SUITE_P(Movers, Backup, ::testing::Range<std::size_t>(0, 4));

// Replays the path to every expanded node from the root position.
void collect_expanded(const Tree& tree, NodeIndex i, const Game& position, std::vector<Planes>& out) {
  if (tree[i].child_count == 0) return;
  out.push_back(get_representation(position));
  EXPECT_EQ(tree[i].to_move, position.current_player());
  EXPECT_EQ(testing::sorted(child_tiles(tree, i)), testing::sorted(position.legal_tiles()));
  for (std::size_t k = 0; k < tree[i].child_count; ++k) {
    const NodeIndex c = tree.child_index(i, k);
    Game next = position;
    ASSERT_TRUE(next.apply(tree[c].tile).has_value());
    collect_expanded(tree, c, next, out);
  }
}

class DeepSearch : public ::testing::TestWithParam<std::size_t> {};

// Deep searches cross the ends of pieces; every request must still show the
// position reached by playing the path's tiles from the root.
TEST_P(DeepSearch, RequestsAreThePositionsOfTheirPaths) {
  Game game = Game::reset();
  for (std::size_t k = 0; k < GetParam(); ++k) ASSERT_TRUE(game.apply(game.legal_tiles().back()).has_value());
  Tree tree;
  Rng rng{GetParam()};
  ScriptedEvaluator evaluator;
  ASSERT_TRUE(run_mcts(tree, game, params(1.0f, 0.0f, 80), evaluator, rng).has_value());
  std::vector<Planes> expected;
  collect_expanded(tree, Tree::kRoot, game, expected);
  std::vector<Planes> sent = evaluator.sent;
  std::sort(expected.begin(), expected.end());
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent.size(), 81u);
  EXPECT_TRUE(sent == expected) << sent.size() << " requests, " << expected.size() << " expanded nodes";
  std::set<std::uint32_t> movers;
  for (NodeIndex i = 0; i < tree.size(); ++i) {
    if (tree[i].child_count > 0) movers.insert(tree[i].to_move);
  }
  EXPECT_GT(movers.size(), 1u) << "the search never reached another player's turn";
}

INSTANTIATE_TEST_SUITE_P(FromMove, DeepSearch, ::testing::Values(0, 3, 30, 90));

// Mid-game, each player's start corner is theirs, so the plane holding cell 0
// names the player to move. The callback rotates its answer so that every leaf
// is worth kWorth[j] to player j, whoever moves there; each node then sums the
// entry of its own mover.
TEST(RunMcts, EachNodeBacksUpItsOwnMover) {
  static constexpr std::array<float, 4> kWorth = {0.5f, 0.25f, 0.125f, 0.0625f};
  for (const std::size_t start : {40u, 120u}) {
    Game game = Game::reset();
    for (std::size_t k = 0; k < start; ++k) ASSERT_TRUE(game.apply(game.legal_tiles().back()).has_value());
    ASSERT_EQ(game.board.owner_plus_one(0), 1u);
    ScriptedEvaluator evaluator([](const Planes& planes, std::size_t) {
      std::size_t q = 0;
      while (q < 4 && planes[q * kCells] != 1.0f) ++q;
      const std::size_t p = (1 + 4 - q) % 4;
      std::vector<float> values(4);
      for (std::size_t k = 0; k < 4; ++k) values[k] = kWorth[(k + 4 - p) % 4];
      return testing::make_reply(std::vector<float>(kCells, 0.0f), values);
    });
    evaluator.keep_planes = false;
    Tree tree;
    Rng rng{start};
    ASSERT_TRUE(run_mcts(tree, game, params(1.0f, 0.0f, 80), evaluator, rng).has_value());
    std::set<std::uint32_t> movers;
    for (NodeIndex i = 1; i < tree.size(); ++i) {
      const Node& n = tree[i];
      if (n.child_count > 0) movers.insert(n.to_move);
      EXPECT_EQ(n.value_sum, kWorth[n.to_move] * static_cast<float>(n.visits)) << "node " << i;
    }
    EXPECT_GT(movers.size(), 1u);
  }
}

TEST(RunMcts, OneRequestPerSimulationPlusTheRoot) {
  for (const std::uint64_t sims : {1u, 7u, 40u}) {
    Tree tree;
    Rng rng{15};
    ScriptedEvaluator evaluator;
    evaluator.keep_planes = false;
    ASSERT_TRUE(run_mcts(tree, Game::reset(), params(1.25f, 1.0f, sims), evaluator, rng).has_value());
    EXPECT_EQ(evaluator.calls, sims + 1);
    std::uint32_t total = 0;
    for (const Node& child : tree.children(Tree::kRoot)) total += child.visits;
    EXPECT_EQ(total, sims);
  }
}

// Player 0 alone with a single monomino: the one child ends the game, and each
// walk that stops there is valued by the payoff without a request.
TEST(RunMcts, FinishedLeafCostsNoRequest) {
  Game game = Game::reset();
  game.board.pieces[0].clear();
  game.board.pieces[0].push_back(PieceKind::Monomino);
  game.players.resize_down(1);
  game.tiles = get_tile_moves(game.board, 0);
  ASSERT_EQ(game.legal_tiles(), std::vector<std::size_t>{0});
  Game finished = game;
  ASSERT_TRUE(finished.apply(0).has_value());
  ASSERT_TRUE(finished.is_over());
  ASSERT_EQ(finished.get_payoff()[0], 1.0f);

  Tree tree;
  Rng rng{16};
  ScriptedEvaluator evaluator;
  // A dirichlet_alpha of 0 is harmless: a lone child gets no noise.
  ASSERT_TRUE(run_mcts(tree, game, params(1.0f, 0.0f, 5, 0.0f, 0.25f), evaluator, rng).has_value());
  EXPECT_EQ(evaluator.calls, 1u);
  ASSERT_EQ(tree[Tree::kRoot].child_count, 1u);
  const Node& child = tree.children(Tree::kRoot)[0];
  EXPECT_EQ(child.tile, 0u);
  EXPECT_EQ(child.prior, 1.0f);
  EXPECT_EQ(child.visits, 5u);
  EXPECT_EQ(child.value_sum, 5.0f);
  EXPECT_EQ(child.child_count, 0u);
}

TEST(RunMcts, LeafErrorIsAnInternalFailure) {
  Tree tree;
  Rng rng{17};
  ScriptedEvaluator evaluator;
  evaluator.then(testing::uniform_reply())
      .then(testing::uniform_reply())
      .then(fail_with("PyErr { broken pipe }"));
  ::testing::internal::CaptureStdout();
  EXPECT_ENGINE_FAILURE(run_mcts(tree, Game::reset(), params(1.0f, 0.0f, 10), evaluator, rng),
                        "called `Result::unwrap()` on an `Err` value: PyErr { broken pipe }");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(evaluator.calls, 3u);
}

TEST(RunMcts, RootErrorIsReturnedAndPrinted) {
  Tree tree;
  Rng rng{18};
  ScriptedEvaluator evaluator;
  evaluator.then(fail_with("PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }"));
  ::testing::internal::CaptureStdout();
  const auto result = run_mcts(tree, Game::reset(), params(1.0f, 0.0f, 10), evaluator, rng);
  EXPECT_EQ(
      ::testing::internal::GetCapturedStdout(),
      "Error evaluating root node: PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }\n");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().debug, "PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }");
  EXPECT_EQ(evaluator.calls, 1u);
}

TEST(RunMcts, BadAlphaFailsAtAWideRoot) {
  Tree tree;
  Rng rng{19};
  ScriptedEvaluator evaluator;
  EXPECT_ENGINE_FAILURE(run_mcts(tree, Game::reset(), params(1.0f, 0.0f, 3, 0.0f, 0.25f), evaluator, rng),
                        "called `Result::unwrap()` on an `Err` value: AlphaTooSmall");
}

}  // namespace
}  // namespace velmar
