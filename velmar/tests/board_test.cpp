#include "board.hpp"

#include <gtest/gtest.h>

#include "test_util.hpp"

namespace velmar {
namespace {

using testing::hand_of;
using testing::set_hand;

std::vector<std::size_t> corners(const Board& b, std::size_t p) { return b.corners[p].to_vector(); }

const PieceVariant& variant_with_offsets(PieceKind kind, std::vector<std::size_t> offsets) {
  for (const PieceVariant& v : catalogue().piece(kind).variants) {
    if (v.offsets == offsets) return v;
  }
  throw std::logic_error("no such variant");
}

TEST(Board, NewBoard) {
  const Board b;
  for (std::uint8_t byte : b.cells) EXPECT_EQ(byte, 0);
  std::vector<PieceKind> all;
  for (std::size_t k = 0; k < kPieceKinds; ++k) all.push_back(static_cast<PieceKind>(k));
  const std::array<std::size_t, 4> start = {0, 19, 399, 380};
  for (std::size_t p = 0; p < kPlayers; ++p) {
    EXPECT_EQ(corners(b, p), std::vector<std::size_t>{start[p]});
    EXPECT_EQ(hand_of(b, p), all);
    const auto pieces = b.get_pieces(p);
    ASSERT_EQ(pieces.size(), kPieceKinds);
    for (std::size_t k = 0; k < kPieceKinds; ++k) EXPECT_EQ(pieces[k].kind, k);
  }
  std::string empty;
  for (int r = 0; r < 20; ++r) empty += std::string(20, '.') + "\n";
  EXPECT_EQ(b.to_string(), empty);
  EXPECT_EQ(b.get_scores({0, 0, 0, 0}), (Scores{-89, -89, -89, -89}));
}

TEST(Board, FirstSquareAtEachCorner) {
  Board b;
  b.place_tile(0, 0);
  EXPECT_EQ(b.cells[0], 0xF1);
  EXPECT_EQ(b.cells[1], 0x10);
  EXPECT_EQ(b.cells[20], 0x10);
  EXPECT_EQ(corners(b, 0), std::vector<std::size_t>{21});
  EXPECT_EQ(corners(b, 1), std::vector<std::size_t>{19});
  EXPECT_EQ(corners(b, 2), std::vector<std::size_t>{399});
  EXPECT_EQ(corners(b, 3), std::vector<std::size_t>{380});

  Board c;
  c.place_tile(19, 1);
  EXPECT_EQ(c.cells[19], 0xF2);
  EXPECT_EQ(c.cells[18], 0x20);
  EXPECT_EQ(c.cells[39], 0x20);
  EXPECT_EQ(c.cells[0], 0);
  EXPECT_EQ(c.cells[40], 0);
  EXPECT_EQ(corners(c, 1), std::vector<std::size_t>{38});  // not 0 or 40: they lie across the edge
  EXPECT_EQ(corners(c, 0), std::vector<std::size_t>{0});
}

struct EdgeCase {
  std::size_t cell, player;
  std::vector<std::size_t> closed;   // cells that get the player's flag, besides `cell`
  std::vector<std::size_t> corners;  // the player's corner set afterwards
  friend std::ostream& operator<<(std::ostream& os, const EdgeCase& c) {
    return os << "cell " << c.cell << " player " << c.player;
  }
};

class BoardEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(BoardEdges, NeighboursStayOnTheBoard) {
  const EdgeCase& c = GetParam();
  Board b;
  b.place_tile(c.cell, c.player);
  for (std::size_t cell = 0; cell < kCells; ++cell) {
    std::uint8_t expected = 0;
    if (cell == c.cell) expected = static_cast<std::uint8_t>(0xF1 + c.player);
    if (std::count(c.closed.begin(), c.closed.end(), cell)) expected = closed_flag(c.player);
    EXPECT_EQ(b.cells[cell], expected) << "cell " << cell;
  }
  EXPECT_EQ(corners(b, c.player), c.corners);
}

INSTANTIATE_TEST_SUITE_P(Board, BoardEdges,
                         ::testing::Values(EdgeCase{40, 0, {20, 41, 60}, {0, 21, 61}},          // column 0
                                           EdgeCase{59, 1, {39, 58, 79}, {19, 38, 78}},         // column 19
                                           EdgeCase{390, 2, {370, 389, 391}, {369, 371, 399}},  // bottom row
                                           EdgeCase{5, 3, {4, 6, 25}, {24, 26, 380}},           // top row
                                           EdgeCase{399, 2, {379, 398}, {378}},
                                           EdgeCase{380, 3, {360, 381}, {361}}));

TEST(Board, TwoSquaresOfOnePiece) {
  Board b;
  b.place_tile(0, 0);
  b.place_tile(1, 0);
  EXPECT_EQ(b.cells[0], 0xF1);
  EXPECT_EQ(b.cells[1], 0xF1);
  for (std::size_t cell : {2, 20, 21}) EXPECT_EQ(b.cells[cell], 0x10) << cell;
  EXPECT_EQ(corners(b, 0), std::vector<std::size_t>{22});
}

TEST(Board, OccupyingRemovesOtherPlayersCorners) {
  Board b;
  b.place_tile(0, 0);
  b.place_tile(21, 1);  // player 0's only corner
  EXPECT_TRUE(corners(b, 0).empty());
  EXPECT_EQ(b.cells[21], 0xF2);
  b.place_tile(19, 0);  // player 1's start corner
  EXPECT_FALSE(b.corners[1].contains(19));
}

TEST(Board, ClosedOnlyToTheOwner) {
  Board b;
  b.place_tile(0, 0);
  b.place_tile(1, 0);
  b.place_tile(41, 1);
  // 20 is edge-adjacent to player 0 and diagonal to player 1's square.
  EXPECT_EQ(b.cells[20], 0x10);
  EXPECT_FALSE(b.corners[0].contains(20));
  EXPECT_TRUE(b.corners[1].contains(20));
  EXPECT_EQ(b.cells[21], 0x30);  // closed to both, still empty
  EXPECT_EQ(corners(b, 1), (std::vector<std::size_t>{19, 20, 22, 60, 62}));
  EXPECT_EQ(corners(b, 0), std::vector<std::size_t>{22});
}

TEST(Board, CanPlaceEdges) {
  const Board b;
  const PieceVariant& row3 = catalogue().piece(PieceKind::TrominoI).variants[0];
  EXPECT_TRUE(b.can_place(row3, 17, 1));   // 17 + 3 = 20
  EXPECT_FALSE(b.can_place(row3, 18, 1));  // would wrap into row 1; the mask ends at cell 21
  EXPECT_FALSE(b.can_place(row3, 16, 1));  // misses the corner
  EXPECT_FALSE(b.can_place(row3, 0, 1));

  const PieceVariant& column5 = catalogue().piece(PieceKind::PentominoI).variants[1];
  EXPECT_TRUE(b.can_place(column5, 319, 2));   // 319 + 81 = 400
  EXPECT_FALSE(b.can_place(column5, 339, 2));  // runs off the bottom
  // XXXX / ...X: mask length 24, ending exactly on cell 399.
  const PieceVariant& hook = variant_with_offsets(PieceKind::PentominoL, {0, 1, 2, 3, 23});
  EXPECT_EQ(hook.mask.size(), 24u);
  EXPECT_TRUE(b.can_place(hook, 376, 2));
  EXPECT_FALSE(b.can_place(hook, 377, 2));

  Board occupied;
  occupied.place_tile(1, 2);  // another player's square on a covered cell
  const PieceVariant& domino = catalogue().piece(PieceKind::Domino).variants[0];
  EXPECT_FALSE(occupied.can_place(domino, 0, 0));
  EXPECT_TRUE(occupied.can_place(catalogue().piece(PieceKind::Domino).variants[1], 0, 0));
}

TEST(Board, Scores) {
  Board b;
  for (std::size_t cell = 0; cell < 10; ++cell) b.cells[cell] = 0xF1;
  for (std::size_t cell = 100; cell < 189; ++cell) b.cells[cell] = 0xF2;
  for (std::size_t cell = 200; cell < 289; ++cell) b.cells[cell] = 0xF3;
  set_hand(b, 1, {});
  set_hand(b, 2, {});
  EXPECT_EQ(b.get_scores({0, 5, 1, 0}), (Scores{-79, 15, 20, -89}));
  EXPECT_EQ(b.get_scores({1, 1, 2, 1}), (Scores{-79, 20, 15, -89}));  // the bonus needs an empty hand

  b.cells[7] = 0x05;
  EXPECT_INTERNAL_FAILURE(b.get_scores({0, 0, 0, 0}), "index out of bounds: the len is 4 but the index is 4");
}

TEST(Board, RemovePiece) {
  Board b;
  b.remove_piece(1, 0);
  const auto hand = hand_of(b, 1);
  ASSERT_EQ(hand.size(), 20u);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(hand[i], static_cast<PieceKind>(i + 1));
  for (std::size_t p : {0, 2, 3}) EXPECT_EQ(b.pieces[p].size(), 21u);
  b.remove_piece(1, 8);  // PentominoI
  EXPECT_EQ(b.pieces[1][8], PieceKind::PentominoL);
  EXPECT_EQ(b.get_pieces(1)[8].kind, 10u);
  EXPECT_EQ(b.pieces[1].size(), 19u);
}

TEST(Board, PreconditionsAreFatal) {
  Board b;
  const Board before = b;
  EXPECT_INTERNAL_FAILURE(b.place_tile(400, 0), "index out of bounds: the len is 400 but the index is 400");
  EXPECT_INTERNAL_FAILURE(b.place_tile(5, 4), "index out of bounds: the len is 4 but the index is 4");
  EXPECT_EQ(b.cells, before.cells);
  EXPECT_EQ(b.corners, before.corners);
  EXPECT_INTERNAL_FAILURE(b.remove_piece(0, 21), "index out of bounds: the len is 21 but the index is 21");
  EXPECT_INTERNAL_FAILURE(b.remove_piece(4, 0), "index out of bounds: the len is 4 but the index is 4");
  EXPECT_INTERNAL_FAILURE(b.get_pieces(4), "index out of bounds: the len is 4 but the index is 4");
  set_hand(b, 3, {});
  EXPECT_INTERNAL_FAILURE(b.remove_piece(3, 0), "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(b.pieces[0].size(), 21u);
}

TEST(Board, ToStringShowsOwners) {
  Board b;
  b.place_tile(0, 0);
  b.place_tile(19, 1);
  b.place_tile(399, 2);
  b.place_tile(380, 3);
  const std::string text = b.to_string();
  ASSERT_EQ(text.size(), 420u);
  EXPECT_EQ(text.substr(0, 21), "0..................1\n");
  EXPECT_EQ(text.substr(399, 21), "3..................2\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '.'), 396);
}

}  // namespace
}  // namespace velmar
