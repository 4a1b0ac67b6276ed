#include "driver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include "engine_test_util.hpp"
#include "output.hpp"

namespace velmar {
namespace {

using testing::expand_root;
using testing::ScriptedEvaluator;

// A root with children 100, 101, ... in arena order, visited as given.
Tree root_with_visits(const std::vector<std::uint32_t>& visits) {
  Tree tree;
  tree.reset();
  std::vector<TilePrior> fresh;
  for (std::size_t k = 0; k < visits.size(); ++k)
    fresh.push_back({static_cast<std::uint16_t>(100 + k), 0.1f});
  Rng rng{0};
  tree.expand(Tree::kRoot, fresh, rng);
  // The shuffle is undone by assigning tiles by position.
  for (std::size_t k = 0; k < visits.size(); ++k) {
    tree.children(Tree::kRoot)[k].tile = static_cast<std::uint16_t>(100 + k);
    tree.children(Tree::kRoot)[k].visits = visits[k];
  }
  return tree;
}

struct GreedyCase {
  std::vector<std::uint32_t> visits;
  std::uint16_t expected;
};

class Greedy : public ::testing::TestWithParam<GreedyCase> {};

TEST_P(Greedy, MostVisitedLastAmongEquals) {
  const Tree tree = root_with_visits(GetParam().visits);
  Rng rng{1};
  const Rng before = rng;
  EXPECT_EQ(choose_tile(tree, false, rng), GetParam().expected);
  EXPECT_EQ(rng, before);  // no draw for a greedy choice
}

INSTANTIATE_TEST_SUITE_P(Cases, Greedy,
                         ::testing::Values(GreedyCase{{3, 7, 7, 2}, 102}, GreedyCase{{9, 1, 1}, 100},
                                           GreedyCase{{1, 2, 3}, 102}, GreedyCase{{5}, 100},
                                           GreedyCase{{0, 0, 0, 0}, 103}, GreedyCase{{4, 0, 4, 0}, 102}));

TEST(Drawn, ConcentratedVisitsAlwaysGiveThatChild) {
  const Tree tree = root_with_visits({0, 0, 12, 0, 0});
  Rng rng{2};
  for (int i = 0; i < 500; ++i) ASSERT_EQ(choose_tile(tree, true, rng), 102u);
}

TEST(Drawn, FrequenciesFollowVisits) {
  const Tree tree = root_with_visits({1, 0, 3, 6});
  Rng rng{3};
  std::map<std::uint16_t, int> counts;
  constexpr int draws = 20000;
  for (int i = 0; i < draws; ++i) ++counts[choose_tile(tree, true, rng)];
  EXPECT_EQ(counts[101], 0);
  EXPECT_NEAR(counts[100] / double(draws), 0.1, 0.015);
  EXPECT_NEAR(counts[102] / double(draws), 0.3, 0.015);
  EXPECT_NEAR(counts[103] / double(draws), 0.6, 0.015);
}

TEST(Drawn, NoVisitsFallToTheLastChild) {
  const Tree tree = root_with_visits({0, 0, 0});
  Rng rng{4};
  for (int i = 0; i < 50; ++i) ASSERT_EQ(choose_tile(tree, true, rng), 102u);
  EXPECT_EQ(choose_tile(tree, false, rng), 102u);
}

TEST(PolicyRecord, SharesInChildOrder) {
  const Tree tree = root_with_visits({1, 0, 3, 6});
  const PolicyRecord record = policy_record(tree);
  ASSERT_EQ(record.size(), 4u);
  const std::vector<float> shares = {0.1f, 0.0f, 0.3f, 0.6f};
  float sum = 0.0f;
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(record[k].tile, static_cast<std::int32_t>(100 + k));
    EXPECT_FLOAT_EQ(record[k].share, shares[k]);
    sum += record[k].share;
  }
  EXPECT_NEAR(sum, 1.0f, 1e-6f);
}

TEST(PolicyRecord, NoVisitsGiveNaNShares) {
  const PolicyRecord record = policy_record(root_with_visits({0, 0}));
  ASSERT_EQ(record.size(), 2u);
  for (const PolicyEntry& e : record) EXPECT_TRUE(std::isnan(e.share));
}

// --- whole games ---------------------------------------------------------------

Config config_of(std::uint64_t sims, std::uint64_t sample_moves) {
  return Config{sims, sample_moves, 19652.0f, 1.25f, 0.3f, 0.25f};
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class WholeGame : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(WholeGame, RecordReplaysAsALegalGame) {
  const auto [sims, sample_moves] = GetParam();
  ScriptedEvaluator evaluator;
  evaluator.keep_planes = false;
  ::testing::internal::CaptureStdout();
  const auto record = play_game(config_of(sims, sample_moves), evaluator);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(record.has_value()) << record.error();

  ASSERT_FALSE(record->moves.empty());
  ASSERT_EQ(record->moves.size(), record->policies.size());
  EXPECT_EQ(record->moves.front().player, 0u);
  EXPECT_LE(evaluator.calls, record->moves.size() * (sims + 1));

  Game game = Game::reset();
  for (std::size_t k = 0; k < record->moves.size(); ++k) {
    const Move move = record->moves[k];
    ASSERT_EQ(game.current_player(), move.player) << "move " << k;
    std::vector<std::size_t> tiles;
    float sum = 0.0f;
    for (const PolicyEntry& e : record->policies[k]) {
      tiles.push_back(static_cast<std::size_t>(e.tile));
      sum += e.share;
    }
    ASSERT_EQ(testing::sorted(tiles), testing::sorted(game.legal_tiles())) << "move " << k;
    if (sims > 0) {
      EXPECT_NEAR(sum, 1.0f, 1e-5f) << "move " << k;
      // Moves from number sample_moves - 1 on are greedy: the last of the most visited.
      std::size_t greedy = 0;
      float played_share = -1.0f;
      for (std::size_t j = 0; j < record->policies[k].size(); ++j) {
        if (record->policies[k][j].share >= record->policies[k][greedy].share) greedy = j;
        if (record->policies[k][j].tile == move.cell) played_share = record->policies[k][j].share;
      }
      if (k + 1 >= sample_moves) {
        EXPECT_EQ(record->policies[k][greedy].tile, move.cell) << "move " << k;
      } else {
        EXPECT_GT(played_share, 0.0f) << "drawn move " << k;
      }
    } else {
      EXPECT_TRUE(std::isnan(sum));
      EXPECT_EQ(static_cast<std::int32_t>(move.cell), record->policies[k].back().tile);
    }
    ASSERT_TRUE(game.apply(move.cell).has_value()) << "move " << k;
  }
  EXPECT_TRUE(game.is_over());
  EXPECT_EQ(record->payoff, game.get_payoff());
  EXPECT_NEAR(std::accumulate(record->payoff.begin(), record->payoff.end(), 0.0f), 1.0f, 1e-6f);

  const std::array<int, 4> scores = {game.get_score()[0], game.get_score()[1], game.get_score()[2],
                                     game.get_score()[3]};
  EXPECT_EQ(out, "Game finished with payoff: " + format_list(std::span<const float>(record->payoff)) +
                     " and score: " + format_list(std::span<const int>(scores)) + "\n");
  EXPECT_EQ(count_of(out, "Game finished"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Configs, WholeGame,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{0, 0},
                                           std::pair<std::uint64_t, std::uint64_t>{2, 30},
                                           std::pair<std::uint64_t, std::uint64_t>{4, 2},
                                           std::pair<std::uint64_t, std::uint64_t>{6, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{8, 0}));

// Every leaf is bad for its mover, so two simulations split over two root
// children and a drawn move is a coin toss between them, while the greedy one
// is always the later of the two.
TEST(PlayGame, OnlyMovesBeforeSampleMovesMinusOneAreDrawn) {
  for (const std::uint64_t sample_moves : {0u, 1u, 2u, 5u}) {
    std::size_t drawn = 0, off_greedy = 0;
    for (int round = 0; round < 8; ++round) {
      ScriptedEvaluator evaluator([](const Planes&, std::size_t) {
        return testing::make_reply(std::vector<float>(kCells, 0.0f), {-1.0f, -1.0f, -1.0f, -1.0f});
      });
      evaluator.keep_planes = false;
      ::testing::internal::CaptureStdout();
      const auto record = play_game(config_of(2, sample_moves), evaluator);
      ::testing::internal::GetCapturedStdout();
      ASSERT_TRUE(record.has_value());
      for (std::size_t k = 0; k < record->moves.size(); ++k) {
        const PolicyRecord& policy = record->policies[k];
        std::size_t greedy = 0;
        for (std::size_t j = 0; j < policy.size(); ++j) {
          if (policy[j].share >= policy[greedy].share) greedy = j;
        }
        const auto played = std::find_if(policy.begin(), policy.end(), [&](const PolicyEntry& e) {
          return e.tile == record->moves[k].cell;
        });
        ASSERT_NE(played, policy.end());
        if (k + 1 < sample_moves) {
          ++drawn;
          EXPECT_GT(played->share, 0.0f);
          if (played - policy.begin() != static_cast<std::ptrdiff_t>(greedy)) ++off_greedy;
        } else {
          ASSERT_EQ(played - policy.begin(), static_cast<std::ptrdiff_t>(greedy))
              << "move " << k << " with sample_moves " << sample_moves;
        }
      }
    }
    if (drawn >= 16) {
      EXPECT_GT(off_greedy, 0u) << "no drawn move ever left the greedy choice";
    }
  }
}

TEST(PlayGame, RootErrorEndsTheGame) {
  ScriptedEvaluator evaluator;
  evaluator.then(testing::fail_with("X"));
  ::testing::internal::CaptureStdout();
  const auto record = play_game(config_of(4, 10), evaluator);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error evaluating root node: X\nError running MCTS: X\n");
  ASSERT_FALSE(record.has_value());
  EXPECT_EQ(record.error(), "Error running MCTS");
  EXPECT_EQ(evaluator.calls, 1u);
}

// A root error later in the game is reported the same way, with no partial record.
TEST(PlayGame, RootErrorOnALaterMove) {
  ScriptedEvaluator evaluator([](const Planes&, std::size_t call) -> testing::Answer {
    if (call == 9) return testing::fail_with("PyErr { late }");
    return testing::uniform_reply();
  });
  ::testing::internal::CaptureStdout();
  const auto record = play_game(config_of(2, 0), evaluator);  // three requests per move
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error evaluating root node: PyErr { late }\nError running MCTS: PyErr { late }\n");
  ASSERT_FALSE(record.has_value());
  EXPECT_EQ(record.error(), "Error running MCTS");
}

TEST(PlayGame, LeafErrorIsAnInternalFailure) {
  ScriptedEvaluator evaluator;
  evaluator.then(testing::uniform_reply()).then(testing::fail_with("PyErr { leaf }"));
  ::testing::internal::CaptureStdout();
  EXPECT_ENGINE_FAILURE(play_game(config_of(3, 0), evaluator),
                        "called `Result::unwrap()` on an `Err` value: PyErr { leaf }");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(PlayGame, BadAlphaIsAnInternalFailure) {
  ScriptedEvaluator evaluator;
  Config config = config_of(1, 0);
  config.dirichlet_alpha = -0.5f;
  ::testing::internal::CaptureStdout();
  EXPECT_ENGINE_FAILURE(play_game(config, evaluator),
                        "called `Result::unwrap()` on an `Err` value: AlphaTooSmall");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace velmar
