#include "game.hpp"

#include <gtest/gtest.h>

#include <random>

#include "test_util.hpp"

namespace velmar {
namespace {

using testing::hand_of;
using testing::lay;
using testing::placement_table;
using testing::set_hand;
using testing::snapshot;
using testing::sorted_tiles;

using Cells = std::vector<std::size_t>;

const Cells kOpening0 = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

std::vector<std::size_t> players_of(const Game& g) { return {g.players.begin(), g.players.end()}; }

TEST(Game, NewGame) {
  const Game g = Game::reset();
  EXPECT_EQ(g.current_player(), 0u);
  EXPECT_EQ(g.current, 0u);
  EXPECT_TRUE(g.history.empty());
  EXPECT_EQ(players_of(g), (Cells{0, 1, 2, 3}));
  EXPECT_EQ(g.last_piece_sizes, (std::array<std::int32_t, 4>{}));
  EXPECT_EQ(sorted_tiles(g), kOpening0);
  EXPECT_FALSE(g.is_over());
}

// Cell 80 is four rows below the corner: only the upright five-in-a-row reaches it.
TEST(Game, CellEightyForcesTheFiveInARow) {
  Cells order = {0, 20, 40, 60};
  do {
    Game g = Game::reset();
    ASSERT_TRUE(g.apply(80).has_value());
    EXPECT_EQ(sorted_tiles(g), (Cells{0, 20, 40, 60}));
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(g.current_player(), 0u);
      ASSERT_TRUE(g.apply(order[i]).has_value());
    }
    EXPECT_EQ(g.last_piece_sizes[0], 5);
    ASSERT_EQ(g.board.pieces[0].size(), 20u);
    EXPECT_EQ(g.board.pieces[0][9], PieceKind::PentominoL);
    EXPECT_EQ(g.current_player(), 1u);
    EXPECT_EQ(players_of(g), (Cells{0, 1, 2, 3}));
    ASSERT_EQ(g.history.size(), 5u);
    EXPECT_EQ(g.history[0], (Move{0, 80}));
    for (std::size_t i = 0; i < 4; ++i)
      EXPECT_EQ(g.history[i + 1], (Move{0, static_cast<std::uint16_t>(order[i])}));
    EXPECT_EQ(sorted_tiles(g), (Cells{15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99}));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(Game, CornerFirstCompletesNothing) {
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0).has_value());
  EXPECT_EQ(g.current_player(), 0u);
  EXPECT_EQ(g.board.pieces[0].size(), 21u);
  EXPECT_EQ(sorted_tiles(g), Cells(kOpening0.begin() + 1, kOpening0.end()));
}

TEST(Game, MonominoCompletesAtOnce) {
  Game g = Game::reset();
  g.board.place_tile(0, 0);
  g.board.place_tile(22, 1);
  g.board.place_tile(41, 1);
  g.tiles = get_tile_moves(g.board, 0);
  ASSERT_EQ(sorted_tiles(g), Cells{21}) << g.board.to_string();
  ASSERT_TRUE(g.apply(21).has_value());
  EXPECT_EQ(g.last_piece_sizes[0], 1);
  EXPECT_EQ(g.board.pieces[0].size(), 20u);
  EXPECT_EQ(g.board.pieces[0][0], PieceKind::Domino);
  EXPECT_EQ(g.current_player(), 1u);
  EXPECT_EQ(g.history.size(), 1u);
}

TEST(Game, NamedPieceIsTrusted) {
  Game g = Game::reset();
  const auto before = snapshot(g);
  EXPECT_INTERNAL_FAILURE((void)g.apply(0, 21), "index out of bounds: the len is 21 but the index is 21");
  EXPECT_TRUE(snapshot(g) == before);
  ASSERT_TRUE(g.apply(0, 1).has_value());  // one square declared to be the domino
  EXPECT_EQ(g.last_piece_sizes[0], 2);
  EXPECT_EQ(g.board.pieces[0][1], PieceKind::TrominoV);
  EXPECT_EQ(g.current_player(), 1u);
}

TEST(Game, InvalidMoveChangesNothing) {
  Game g = Game::reset();
  // Not keys of the cache: first on a new game, then with cell 80 laid.
  const std::array<Cells, 2> refused = {Cells{5, 81, 399, 400, 100000}, Cells{1, 21, 80, 399, 400}};
  for (int round = 0; round < 2; ++round) {
    for (std::size_t tile : refused[round]) {
      const auto before = snapshot(g);
      const auto result = g.apply(tile);
      ASSERT_FALSE(result.has_value()) << tile;
      EXPECT_EQ(result.error(), RuleError::InvalidMove);
      EXPECT_EQ(message(result.error()), "Invalid move");
      EXPECT_TRUE(snapshot(g) == before) << "tile " << tile << "\n" << g.board.to_string();
    }
    if (round == 0) {
      ASSERT_TRUE(g.apply(80).has_value());
    }
  }
}

TEST(Game, PlayerWithoutMovesIsSkipped) {
  Game g = Game::reset();
  set_hand(g.board, 1, {});
  ASSERT_NO_FATAL_FAILURE(lay(g, {80, 0, 20, 40, 60}));
  EXPECT_EQ(players_of(g), (Cells{0, 2, 3}));
  EXPECT_EQ(g.current, 1u);
  EXPECT_EQ(g.current_player(), 2u);
  EXPECT_EQ(placement_table(g.tiles), placement_table(get_tile_moves(Board(), 2)));
}

TEST(Game, TurnWrapsPastALastPlayerWithoutMoves) {
  Game g = Game::reset();
  set_hand(g.board, 3, {});
  ASSERT_NO_FATAL_FAILURE(lay(g, {80, 0, 20, 40, 60}));        // player 0, upright five
  ASSERT_NO_FATAL_FAILURE(lay(g, {99, 19, 39, 59, 79}));       // player 1
  ASSERT_NO_FATAL_FAILURE(lay(g, {319, 399, 379, 359, 339}));  // player 2
  EXPECT_EQ(players_of(g), (Cells{0, 1, 2}));
  EXPECT_EQ(g.current, 0u);
  EXPECT_EQ(g.current_player(), 0u);
  // Hand index 9 now names the piece that followed the five-in-a-row.
  std::size_t at_nine = 0;
  for (const Placement& p : g.tiles.placements()) {
    EXPECT_EQ(g.board.pieces[0][p.piece], p.shape().kind);
    if (p.piece == 9) {
      ++at_nine;
      EXPECT_EQ(p.shape().kind, PieceKind::PentominoL);
    }
  }
  EXPECT_GT(at_nine, 0u);
}

TEST(Game, EmptyHandLeavesAtItsNextTurn) {
  Game g = Game::reset();
  set_hand(g.board, 0, {PieceKind::PentominoI});
  g.tiles = get_tile_moves(g.board, 0);
  ASSERT_NO_FATAL_FAILURE(lay(g, {0, 20, 40, 60, 80}));
  EXPECT_TRUE(g.board.pieces[0].empty());
  EXPECT_EQ(players_of(g), (Cells{0, 1, 2, 3}));
  EXPECT_EQ(g.current_player(), 1u);
  ASSERT_NO_FATAL_FAILURE(lay(g, {99, 19, 39, 59, 79}));
  ASSERT_NO_FATAL_FAILURE(lay(g, {319, 399, 379, 359, 339}));
  ASSERT_NO_FATAL_FAILURE(lay(g, {300, 380, 360, 340, 320}));
  EXPECT_EQ(players_of(g), (Cells{1, 2, 3}));
  EXPECT_EQ(g.current, 0u);
  EXPECT_EQ(g.current_player(), 1u);
  EXPECT_EQ(g.get_score()[0], 5 - 74);
}

TEST(Game, LastPlayerOutEndsTheGame) {
  Game g = Game::reset();
  set_hand(g.board, 0, {PieceKind::PentominoI});
  for (std::size_t p : {1, 2, 3}) set_hand(g.board, p, {});
  g.tiles = get_tile_moves(g.board, 0);
  ASSERT_NO_FATAL_FAILURE(lay(g, {0, 20, 40, 60, 80}));
  EXPECT_TRUE(g.is_over());
  EXPECT_EQ(g.current_player(), std::nullopt);
  EXPECT_TRUE(g.legal_tiles().empty());
  EXPECT_EQ(g.advance_player(), std::nullopt);
  const auto before = snapshot(g);
  const auto result = g.apply(100);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), RuleError::NoCurrentPlayer);
  EXPECT_EQ(message(result.error()), "No current player");
  EXPECT_TRUE(snapshot(g) == before);
  EXPECT_EQ(g.get_score(), (Scores{5 - 74, -74, -74, -74}));
  EXPECT_EQ(g.get_payoff(), (Payoff{1, 0, 0, 0}));
}

struct PayoffCase {
  Scores scores;
  Payoff payoff;
  friend std::ostream& operator<<(std::ostream& os, const PayoffCase& c) {
    return os << "scores " << ::testing::PrintToString(c.scores);
  }
};

class PayoffTable : public ::testing::TestWithParam<PayoffCase> {};

// Builds a board with the given scores: 15 and 20 are an emptied hand with the
// monomino last for 20; anything else is 89 + score squares on the board.
TEST_P(PayoffTable, LeadersShareOne) {
  const PayoffCase& c = GetParam();
  Game g = Game::reset();
  std::size_t next = 0;
  for (std::size_t p = 0; p < kPlayers; ++p) {
    const std::int32_t s = c.scores[p];
    const std::int32_t squares = s >= 15 ? 89 : 89 + s;
    if (s >= 15) {
      set_hand(g.board, p, {});
      g.last_piece_sizes[p] = s == 20 ? 1 : 5;
    }
    for (std::int32_t i = 0; i < squares; ++i) g.board.cells[next++] = static_cast<std::uint8_t>(0xF1 + p);
  }
  ASSERT_EQ(g.get_score(), c.scores) << g.board.to_string();
  EXPECT_EQ(g.get_payoff(), c.payoff);
  const Payoff p = g.get_payoff();
  EXPECT_NEAR(p[0] + p[1] + p[2] + p[3], 1.0f, 1e-6f);
}

constexpr float kThird = 1.0f / 3.0f;
INSTANTIATE_TEST_SUITE_P(Game, PayoffTable,
                         ::testing::Values(PayoffCase{{15, 15, -3, -10}, {0.5f, 0.5f, 0, 0}},
                                           PayoffCase{{15, 20, -1, -2}, {0, 1, 0, 0}},
                                           PayoffCase{{-20, -30, -20, -20}, {kThird, 0, kThird, kThird}},
                                           PayoffCase{{-89, -89, -89, -89}, {0.25f, 0.25f, 0.25f, 0.25f}},
                                           PayoffCase{{-50, -10, -60, -10}, {0, 0.5f, 0, 0.5f}},
                                           PayoffCase{{-80, -81, -82, -1}, {0, 0, 0, 1}}));

// Plays uniformly random tiles until the game ends or `tiles` tiles are laid.
void play(Game& g, std::mt19937& rng, std::size_t tiles) {
  for (std::size_t i = 0; i < tiles && !g.is_over(); ++i) {
    const auto legal = g.legal_tiles();
    ASSERT_TRUE(g.apply(legal[rng() % legal.size()]).has_value());
  }
}

TEST(Game, CopiesAreIndependent) {
  std::mt19937 rng(7);
  Game g = Game::reset();
  for (std::size_t step : {0, 1, 3, 7, 40}) {
    ASSERT_NO_FATAL_FAILURE(play(g, rng, step));
    const auto original = snapshot(g);
    Game copy = g;
    EXPECT_TRUE(snapshot(copy) == original);
    ASSERT_NO_FATAL_FAILURE(play(copy, rng, 1000));
    EXPECT_TRUE(copy.is_over());
    EXPECT_TRUE(snapshot(g) == original) << "the original changed after " << step << " more tiles";
    // The other way round: the copy must not see the original move on.
    const Game frozen = g;
    ASSERT_NO_FATAL_FAILURE(play(g, rng, 3));
    EXPECT_TRUE(snapshot(frozen) == original);
    g = frozen;
  }
}

}  // namespace
}  // namespace velmar
