// Move generation against a brute-force oracle: every piece, every variant, every
// origin on the board, tested with the spelled-out placement test.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>

#include "game.hpp"

namespace velmar {
namespace {

using Triple = std::tuple<std::size_t, std::size_t, std::size_t>;  // piece, variant, origin

std::set<Triple> brute_force(const Board& board, std::size_t player) {
  std::set<Triple> out;
  const auto hand = board.get_pieces(player);
  for (std::size_t i = 0; i < hand.size(); ++i) {
    for (std::size_t v = 0; v < hand[i].variants.size(); ++v) {
      for (std::size_t origin = 0; origin < kCells; ++origin) {
        if (board.can_place(hand[i].variants[v], origin, player)) out.insert({i, v, origin});
      }
    }
  }
  return out;
}

std::set<Triple> generated(const Board& board, std::size_t player) {
  std::set<Triple> out;
  const TileMoves moves = get_tile_moves(board, player);
  for (const Placement& p : moves.placements()) {
    EXPECT_TRUE(out.insert({p.piece, p.variant(), p.origin}).second) << "placement generated twice";
  }
  return out;
}

TEST(MoveGenerationOracle, AgreesWithBruteForceForEveryPlayerAlongRandomGames) {
  std::mt19937 rng(2024);
  for (int g = 0; g < 12; ++g) {
    Game game = Game::reset();
    std::size_t step = 0;
    while (!game.is_over()) {
      if (step++ % 9 == 0) {
        for (std::size_t p = 0; p < kPlayers; ++p) {
          ASSERT_EQ(generated(game.board, p), brute_force(game.board, p))
              << "player " << p << " after " << game.history.size() << " tiles\n"
              << game.board.to_string();
        }
      }
      const auto tiles = game.legal_tiles();
      ASSERT_TRUE(game.apply(tiles[rng() % tiles.size()]).has_value());
    }
  }
}

}  // namespace
}  // namespace velmar
