#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "game.hpp"
#include "test_util.hpp"

namespace velmar {
namespace {

using testing::cache_consistent;
using testing::has_placement;
using testing::naive_placements;
using testing::placement_table;
using testing::set_hand;

// The cells with row + column <= 4, seen from player p's corner.
std::vector<std::size_t> opening_keys(std::size_t player) {
  std::vector<std::size_t> keys;
  for (std::size_t r = 0; r < 5; ++r) {
    for (std::size_t c = 0; r + c < 5; ++c) {
      const std::size_t row = player >= 2 ? 19 - r : r;
      const std::size_t col = player == 1 || player == 2 ? 19 - c : c;
      keys.push_back(row * 20 + col);
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

class Opening : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Opening, FiftyEightPlacementsOverFifteenCells) {
  const std::size_t player = GetParam();
  const Board board;
  const TileMoves tiles = get_tile_moves(board, player);
  EXPECT_TRUE(cache_consistent(tiles));
  EXPECT_EQ(tiles.placements().size(), 58u);
  EXPECT_EQ(tiles.keys().to_vector(), opening_keys(player));
  EXPECT_EQ(tiles.filed_under(kStartCorners[player]).size(), 58u);
  for (const Placement& p : tiles.placements()) {
    EXPECT_TRUE(p.covers(kStartCorners[player]));
    EXPECT_NE(p.shape().kind, PieceKind::PentominoX);
    EXPECT_EQ(board.pieces[player][p.piece], p.shape().kind);
  }
  EXPECT_EQ(placement_table(tiles), naive_placements(board, player));
}

INSTANTIATE_TEST_SUITE_P(Moves, Opening, ::testing::Values(0u, 1u, 2u, 3u));

TEST(Moves, OpeningGeometry) {
  const Board board;
  const TileMoves first = get_tile_moves(board, 0);
  for (const Placement& p : first.placements()) {
    EXPECT_EQ(p.origin, 0);
    EXPECT_TRUE(p.shape().covers_offset(0));
  }
  // Player 1's pieces hug the right edge: the origin column is 20 - width.
  std::size_t three_wide = 0;
  const TileMoves second = get_tile_moves(board, 1);
  for (const Placement& p : second.placements()) {
    EXPECT_EQ(p.origin, 20u - p.shape().width);
    if (p.shape().width == 3) {
      ++three_wide;
      EXPECT_EQ(p.origin, 17);
    }
  }
  EXPECT_GT(three_wide, 0u);
}

// Player 0 at cell 38 (row 1, column 18) has corners 19 and 59 on the right edge:
// nothing may run from there into the next row.
TEST(Moves, NoWrapFromColumnNineteen) {
  Board board;
  board.place_tile(38, 0);
  ASSERT_TRUE(board.corners[0].contains(59));
  const TileMoves tiles = get_tile_moves(board, 0);
  EXPECT_TRUE(cache_consistent(tiles));
  for (const Placement& p : tiles.placements()) EXPECT_LE(p.origin % 20 + p.shape().width, 20u);
  EXPECT_EQ(placement_table(tiles), naive_placements(board, 0)) << board.to_string();
  // The domino 59-60 would end in column 0 of the next row.
  EXPECT_FALSE(board.can_place(catalogue().piece(PieceKind::Domino).variants[0], 59, 0));
  EXPECT_TRUE(board.can_place(catalogue().piece(PieceKind::Domino).variants[1], 59, 0));
}

TEST(Moves, OwnEdgeContactOnly) {
  // Domino (hand index 1) lying on 21-22, touching the square on 0 at a corner.
  Board mine;
  mine.place_tile(0, 0);
  mine.place_tile(42, 0);  // below 22
  Board theirs;
  theirs.place_tile(0, 0);
  theirs.place_tile(42, 2);
  EXPECT_FALSE(has_placement(placement_table(get_tile_moves(mine, 0)), {1, 0, 21})) << mine.to_string();
  EXPECT_TRUE(has_placement(placement_table(get_tile_moves(theirs, 0)), {1, 0, 21})) << theirs.to_string();
  EXPECT_EQ(placement_table(get_tile_moves(mine, 0)), naive_placements(mine, 0));
  EXPECT_EQ(placement_table(get_tile_moves(theirs, 0)), naive_placements(theirs, 0));
}

TEST(Moves, PlacementOnTwoCornersIsListedOnce) {
  Board board;
  board.place_tile(0, 0);
  board.place_tile(3, 0);
  ASSERT_EQ(board.corners[0].to_vector(), (std::vector<std::size_t>{21, 22, 24}));
  const TileMoves tiles = get_tile_moves(board, 0);
  EXPECT_TRUE(cache_consistent(tiles));
  const Placement domino{21, 1, catalogue().orientation_id(PieceKind::Domino, 0)};
  EXPECT_EQ(std::count(tiles.placements().begin(), tiles.placements().end(), domino), 1);
  for (std::size_t cell : {21, 22}) {
    const auto filed = tiles.filed_under(cell);
    EXPECT_EQ(std::count(filed.begin(), filed.end(), domino), 1) << cell;
  }
  EXPECT_EQ(placement_table(tiles), naive_placements(board, 0));
}

TEST(Moves, EmptyCaches) {
  Board board;
  board.place_tile(0, 0);
  board.place_tile(42, 0);
  set_hand(board, 0, {});
  const TileMoves none = get_tile_moves(board, 0);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(none.placements().empty());
  EXPECT_TRUE(none.keys().empty());
  EXPECT_TRUE(none.filed_under(21).empty());

  Board cornerless;
  cornerless.corners[2].clear();
  EXPECT_TRUE(get_tile_moves(cornerless, 2).empty());

  EXPECT_INTERNAL_FAILURE(get_tile_moves(board, 4), "index out of bounds: the len is 4 but the index is 4");
}

TEST(Moves, NarrowingKeepsCoveringPlacements) {
  TileMoves tiles = get_tile_moves(Board(), 0);
  const TileMoves untouched = tiles;
  EXPECT_FALSE(tiles.narrow(399));
  EXPECT_FALSE(tiles.narrow(400));
  EXPECT_EQ(placement_table(tiles), placement_table(untouched));
  ASSERT_TRUE(tiles.narrow(2));
  EXPECT_TRUE(cache_consistent(tiles, {2}));
  ASSERT_TRUE(tiles.narrow(0));
  EXPECT_TRUE(cache_consistent(tiles, {2, 0}));
  EXPECT_FALSE(tiles.narrow(2));  // already laid
  for (const auto& [key, cells] : placement_table(untouched)) {
    const bool covers =
        std::count(cells.begin(), cells.end(), 0) && std::count(cells.begin(), cells.end(), 2);
    EXPECT_EQ(has_placement(placement_table(tiles), key), covers);
  }
  EXPECT_EQ(untouched.placements().size(), 58u);  // copies do not share narrowing
}

// The first tile of a turn reads only the placements found from corners near it; a cache
// built from the bare list reads them all. Both must keep the same placements in order.
TEST(Moves, FirstTileNarrowsLikeAFullScan) {
  std::mt19937 rng(11);
  for (int g = 0; g < 3; ++g) {
    Game game = Game::reset();
    while (!game.is_over()) {
      const auto tiles = game.legal_tiles();
      const TileMoves bare(game.tiles.placements());
      if (bare.keys() == game.tiles.keys()) {  // no tile laid yet this turn
        for (std::size_t t : tiles) {
          TileMoves by_corner = game.tiles, scanned = bare;
          ASSERT_TRUE(by_corner.narrow(t) && scanned.narrow(t));
          ASSERT_TRUE(std::ranges::equal(by_corner.placements(), scanned.placements())) << t;
          ASSERT_EQ(by_corner.keys(), scanned.keys()) << t;
        }
      }
      ASSERT_TRUE(game.apply(tiles[rng() % tiles.size()]).has_value());
    }
  }
}

TEST(FixedVec, AppendIfWritesPastTheEndOnlyWhileThereIsRoom) {
  struct Case {
    std::size_t filled;
    std::vector<int> values;
    bool overflows;
    std::size_t size_after;
  };
  const auto keep_even = [](int v) { return v % 2 == 0; };
  for (const Case& c : std::vector<Case>{
           {0, {1, 2, 3, 4}, false, 2}, {3, {1, 3}, false, 3}, {2, {1, 2, 3}, false, 3}, {3, {2}, true, 3}}) {
    FixedVec<int, 3> v;
    for (std::size_t i = 0; i < c.filled; ++i) v.push_back(-1);
    if (c.overflows) {
      EXPECT_THROW(v.append_if(c.values.begin(), c.values.end(), keep_even), InternalFailure);
    } else {
      v.append_if(c.values.begin(), c.values.end(), keep_even);
      EXPECT_EQ(v.size(), c.size_after);
      for (std::size_t i = c.filled; i < v.size(); ++i) EXPECT_EQ(v[i] % 2, 0);
    }
  }
}

}  // namespace
}  // namespace velmar
