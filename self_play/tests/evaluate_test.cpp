#include "evaluate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "engine_test_util.hpp"

namespace velmar {
namespace {

using testing::child_tiles;
using testing::fail_with;
using testing::kOpening0;
using testing::make_reply;
using testing::ScriptedEvaluator;
using testing::sorted;

float prior_sum(const Tree& tree, NodeIndex node) {
  float sum = 0.0f;
  for (const Node& child : tree.children(node)) sum += child.prior;
  return sum;
}

class Evaluate : public ::testing::Test {
 protected:
  Evaluate() { tree.reset(); }

  // Evaluates the root of `tree` for `game` with a one-reply script.
  std::expected<Values, EvalError> once(const Game& game, testing::Answer answer) {
    evaluator.then(std::move(answer));
    return evaluate(tree, Tree::kRoot, game, evaluator, rng);
  }

  Tree tree;
  Rng rng{12345};
  ScriptedEvaluator evaluator;
};

TEST_F(Evaluate, FinishedGameIsValuedByItsPayoff) {
  Game game = Game::reset();
  game.board.pieces[2].clear();  // player 2 placed everything and leads
  game.players.clear();
  tree[Tree::kRoot].to_move = 3;
  const auto values = evaluate(tree, Tree::kRoot, game, evaluator, rng);
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(*values, game.get_payoff());
  EXPECT_EQ(*values, (Values{0.0f, 0.0f, 1.0f, 0.0f}));
  EXPECT_EQ(evaluator.calls, 0u);
  EXPECT_EQ(tree[Tree::kRoot].child_count, 0u);
  EXPECT_EQ(tree[Tree::kRoot].to_move, 3u);
}

TEST_F(Evaluate, EqualLogitsGiveEqualPriorsOnLegalTilesOnly) {
  std::vector<float> policy(kCells, 0.0f);
  for (std::size_t c : {5u, 99u, 250u, 399u}) policy[c] = 80.0f;  // illegal, ignored
  const auto values = once(Game::reset(), make_reply(policy, {0.1f, 0.2f, 0.3f, 0.4f}));
  ASSERT_TRUE(values.has_value());
  ASSERT_EQ(evaluator.sent.size(), 1u);
  EXPECT_EQ(evaluator.sent[0], get_representation(Game::reset()));
  EXPECT_EQ(sorted(child_tiles(tree, Tree::kRoot)), kOpening0);
  for (const Node& child : tree.children(Tree::kRoot)) {
    EXPECT_FLOAT_EQ(child.prior, 1.0f / 15.0f);
    EXPECT_EQ(child.visits, 0u);
    EXPECT_EQ(child.value_sum, 0.0f);
    EXPECT_EQ(child.child_count, 0u);
  }
  EXPECT_NEAR(prior_sum(tree, Tree::kRoot), 1.0f, 1e-6f);
  EXPECT_EQ(tree[Tree::kRoot].to_move, 0u);
}

TEST_F(Evaluate, ShortPolicyLeavesLaterLegalTilesOut) {
  // Indices 0..40 reach ten of the fifteen opening tiles.
  const auto values = once(Game::reset(), make_reply(std::vector<float>(41, 0.5f), {0, 0, 0, 1}));
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(sorted(child_tiles(tree, Tree::kRoot)),
            (std::vector<std::size_t>{0, 1, 2, 3, 4, 20, 21, 22, 23, 40}));
  EXPECT_NEAR(prior_sum(tree, Tree::kRoot), 1.0f, 1e-6f);
}

TEST_F(Evaluate, EmptyPolicyExpandsNothing) {
  const auto values = once(testing::game_with_mover(2), make_reply({}, {0, 0, 0, 1}));
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(tree[Tree::kRoot].child_count, 0u);
  EXPECT_EQ(tree[Tree::kRoot].to_move, 2u);
}

TEST_F(Evaluate, PolicyLongerThanTheBoardFails) {
  EXPECT_ENGINE_FAILURE(once(Game::reset(), make_reply(std::vector<float>(401, 0.0f), {0, 0, 0, 0})),
                        "index out of bounds: the len is 400 but the index is 400");
}

TEST_F(Evaluate, ShortValuesFail) {
  EXPECT_ENGINE_FAILURE(once(Game::reset(), make_reply(std::vector<float>(400, 0.0f), {1, 2, 3})),
                        "index out of bounds: the len is 3 but the index is 3");
}

TEST_F(Evaluate, ExtraValuesAreIgnored) {
  const auto values = once(Game::reset(), make_reply(std::vector<float>(400, 0.0f), {1, 2, 3, 4, 5}));
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(*values, (Values{1, 2, 3, 4}));
}

class ValueRotation : public Evaluate, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ValueRotation, SlotKBelongsToPlayerKMinusMover) {
  const std::size_t p = GetParam();
  const Values reply = {10.0f, 20.0f, 30.0f, 40.0f};
  const auto values =
      once(testing::game_with_mover(p), make_reply(std::vector<float>(400, 0.0f), {10, 20, 30, 40}));
  ASSERT_TRUE(values.has_value());
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ((*values)[(k + 4 - p) % 4], reply[k]) << "slot " << k;
  EXPECT_EQ(tree[Tree::kRoot].to_move, p);
  EXPECT_EQ(tree[Tree::kRoot].child_count, 15u);
  EXPECT_EQ(sorted(child_tiles(tree, Tree::kRoot)), sorted(testing::game_with_mover(p).legal_tiles()));
}

INSTANTIATE_TEST_SUITE_P(Movers, ValueRotation, ::testing::Range<std::size_t>(0, 4));

TEST(ValueRotationExamples, PlayerOneSeesAShiftedList) {
  Tree tree;
  tree.reset();
  Rng rng{1};
  ScriptedEvaluator evaluator;
  evaluator.then(make_reply(std::vector<float>(400, 0.0f), {1, 2, 3, 4}));
  const auto values = evaluate(tree, Tree::kRoot, testing::game_with_mover(1), evaluator, rng);
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(*values, (Values{2, 3, 4, 1}));
}

TEST_F(Evaluate, LargeLogitGivesAFinitePrior) {
  std::vector<float> policy(kCells, 0.0f);
  policy[22] = 100.0f;
  ASSERT_TRUE(once(Game::reset(), make_reply(policy, {0, 0, 0, 0})).has_value());
  for (const Node& child : tree.children(Tree::kRoot)) {
    ASSERT_TRUE(std::isfinite(child.prior)) << "tile " << child.tile;
    if (child.tile == 22) {
      EXPECT_NEAR(child.prior, 1.0f, 1e-6f);
    } else {
      EXPECT_LT(child.prior, 1e-30f);
    }
  }
  EXPECT_NEAR(prior_sum(tree, Tree::kRoot), 1.0f, 1e-6f);
}

TEST_F(Evaluate, PriorsFollowTheSoftmaxOfLegalLogits) {
  std::vector<float> policy(kCells, -3.0f);
  policy[0] = 1.0f;
  policy[1] = 2.0f;
  policy[399] = 50.0f;  // illegal: not part of the normaliser
  ASSERT_TRUE(once(Game::reset(), make_reply(policy, {0, 0, 0, 0})).has_value());
  const double z = std::exp(1.0) + std::exp(2.0) + 13 * std::exp(-3.0);
  for (const Node& child : tree.children(Tree::kRoot)) {
    const double expected = std::exp(static_cast<double>(policy[child.tile])) / z;
    EXPECT_NEAR(child.prior, expected, 1e-6) << "tile " << child.tile;
  }
}

TEST_F(Evaluate, EvaluatorErrorIsPassedOnAndNothingExpands) {
  tree[Tree::kRoot].to_move = 3;
  const auto values = once(testing::game_with_mover(1), fail_with("PyErr { type: <class 'EOFError'> }"));
  ASSERT_FALSE(values.has_value());
  EXPECT_EQ(values.error().debug, "PyErr { type: <class 'EOFError'> }");
  EXPECT_EQ(tree[Tree::kRoot].child_count, 0u);
  EXPECT_EQ(tree[Tree::kRoot].to_move, 3u);
  EXPECT_EQ(evaluator.calls, 1u);
}

TEST_F(Evaluate, ReevaluationReplacesLegalChildrenAndKeepsTheRest) {
  const std::vector<TilePrior> old = {{0, 0.25f}, {399, 0.5f}, {41, 0.25f}};
  tree.expand(Tree::kRoot, old, rng);
  for (Node& child : tree.children(Tree::kRoot)) {
    child.visits = 7;
    child.value_sum = 3.5f;
  }
  const NodeIndex kept = tree.child_index(Tree::kRoot, testing::position_of(tree, Tree::kRoot, 399));
  const std::vector<TilePrior> grandchildren = {{380, 1.0f}};
  tree.expand(kept, grandchildren, rng);

  ASSERT_TRUE(once(Game::reset(), testing::uniform_reply()).has_value());
  std::vector<std::size_t> expected = kOpening0;
  expected.push_back(399);
  EXPECT_EQ(sorted(child_tiles(tree, Tree::kRoot)), expected);
  for (const Node& child : tree.children(Tree::kRoot)) {
    if (child.tile == 399) {
      EXPECT_EQ(child.visits, 7u);
      EXPECT_EQ(child.value_sum, 3.5f);
      EXPECT_EQ(child.prior, 0.5f);
      ASSERT_EQ(child.child_count, 1u);
      EXPECT_EQ(
          tree.children(tree.child_index(Tree::kRoot, testing::position_of(tree, Tree::kRoot, 399)))[0].tile,
          380u);
    } else {
      EXPECT_EQ(child.visits, 0u) << "tile " << child.tile;
      EXPECT_EQ(child.value_sum, 0.0f);
      EXPECT_FLOAT_EQ(child.prior, 1.0f / 15.0f);
    }
  }
}

// Expanding nodes elsewhere grows the arena; a node's own child order stays put.
TEST(ChildOrder, FixedWhileTheNodeIsUnchanged) {
  Tree tree;
  tree.reset();
  Rng rng{99};
  ScriptedEvaluator evaluator;
  evaluator.keep_planes = false;
  const Game game = Game::reset();
  ASSERT_TRUE(evaluate(tree, Tree::kRoot, game, evaluator, rng).has_value());
  const auto order = child_tiles(tree, Tree::kRoot);
  for (std::size_t k = 0; k < 15; ++k) {
    Game position = game;
    ASSERT_TRUE(position.apply(tree[tree.child_index(Tree::kRoot, k)].tile).has_value());
    ASSERT_TRUE(evaluate(tree, tree.child_index(Tree::kRoot, k), position, evaluator, rng).has_value());
    ASSERT_EQ(child_tiles(tree, Tree::kRoot), order);
  }
  EXPECT_GT(tree.size(), 100u);
}

TEST(ChildOrder, ShuffledAtEveryExpansion) {
  Tree tree;
  Rng rng{2024};
  ScriptedEvaluator evaluator;
  evaluator.keep_planes = false;
  std::set<std::size_t> firsts;
  std::set<std::vector<std::size_t>> orders;
  for (int i = 0; i < 60; ++i) {
    tree.reset();
    ASSERT_TRUE(evaluate(tree, Tree::kRoot, Game::reset(), evaluator, rng).has_value());
    firsts.insert(tree[tree.child_index(Tree::kRoot, 0)].tile);
    orders.insert(child_tiles(tree, Tree::kRoot));
  }
  EXPECT_GT(firsts.size(), 3u);
  EXPECT_GT(orders.size(), 50u);
}

// An evaluator that takes packed planes gets the position as bits straight from the board and
// is never sent floats; one that does not gets floats (packed ones unpacked by default).
class Packed final : public Evaluator {
 public:
  std::expected<void, EvalError> exchange(const Planes&, Reply& reply) override {
    ++float_calls;
    reply = testing::uniform_reply();
    return {};
  }
  bool takes_packed() const override { return true; }
  std::expected<void, EvalError> exchange_packed(const PackedPlanes& planes, Reply& reply) override {
    sent.push_back(planes);
    reply = testing::uniform_reply();
    return {};
  }
  std::vector<PackedPlanes> sent;
  std::size_t float_calls = 0;
};

TEST(EvaluatePacked, PackedEvaluatorsGetTheBitsOfThePosition) {
  Tree tree;
  tree.reset();
  Rng rng{7};
  Packed packed;
  Game game = Game::reset();
  ASSERT_TRUE(game.apply(0).has_value());
  ASSERT_TRUE(evaluate(tree, Tree::kRoot, game, packed, rng).has_value());
  ASSERT_EQ(packed.sent.size(), 1u);
  EXPECT_EQ(packed.sent[0], get_packed_representation(game));
  EXPECT_EQ(packed.float_calls, 0u);
  EXPECT_EQ(sorted(child_tiles(tree, Tree::kRoot)), sorted(game.legal_tiles()));
}

TEST(EvaluatePacked, TheDefaultPackedExchangeSendsTheUnpackedFloats) {
  ScriptedEvaluator scripted;
  scripted.keep_planes = true;
  Reply reply;
  const Game game = Game::reset();
  ASSERT_TRUE(scripted.exchange_packed(get_packed_representation(game), reply).has_value());
  ASSERT_EQ(scripted.sent.size(), 1u);
  EXPECT_EQ(scripted.sent[0], get_representation(game));
}

}  // namespace
}  // namespace velmar
