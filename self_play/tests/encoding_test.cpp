#include "encoding.hpp"

#include <gtest/gtest.h>

#include <random>

#include "engine_test_util.hpp"

namespace velmar {
namespace {

using testing::kOpening0;

float at(const Planes& planes, std::size_t plane, std::size_t cell) { return planes[plane * kCells + cell]; }

std::vector<std::size_t> cells_in(const Planes& planes, std::size_t plane) {
  std::vector<std::size_t> cells;
  for (std::size_t c = 0; c < kCells; ++c) {
    const float v = at(planes, plane, c);
    EXPECT_TRUE(v == 0.0f || v == 1.0f) << "plane " << plane << " cell " << c << " holds " << v;
    if (v == 1.0f) cells.push_back(c);
  }
  return cells;
}

TEST(Encoding, NewGame) {
  const Planes planes = get_representation(Game::reset());
  for (std::size_t q = 0; q < 4; ++q) EXPECT_TRUE(cells_in(planes, q).empty()) << "plane " << q;
  EXPECT_EQ(cells_in(planes, kLegalPlane), kOpening0);
}

TEST(Encoding, OwnSquareWhileThePieceIsOpen) {
  Game game = Game::reset();
  ASSERT_TRUE(game.apply(0).has_value());
  ASSERT_EQ(game.current_player(), 0u);
  const Planes planes = get_representation(game);
  EXPECT_EQ(cells_in(planes, 0), std::vector<std::size_t>{});
  EXPECT_EQ(cells_in(planes, 1), std::vector<std::size_t>{0});
  EXPECT_EQ(cells_in(planes, 2), std::vector<std::size_t>{});
  EXPECT_EQ(cells_in(planes, 3), std::vector<std::size_t>{});
  EXPECT_EQ(cells_in(planes, kLegalPlane), testing::sorted(game.legal_tiles()));
  EXPECT_EQ(at(planes, kLegalPlane, 0), 0.0f);
}

// Player 0's square on cell 0 seen by each later player to move.
class SquareOfPlayerZero : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(SquareOfPlayerZero, LandsInRelativePlane) {
  const auto [mover, plane] = GetParam();
  Game game = Game::reset();
  ASSERT_TRUE(game.apply(0).has_value());
  for (std::size_t k = 0; k < mover; ++k) game.advance_player();
  ASSERT_EQ(game.current_player(), mover);
  const Planes planes = get_representation(game);
  for (std::size_t q = 0; q < 4; ++q) {
    EXPECT_EQ(cells_in(planes, q), q == plane ? std::vector<std::size_t>{0} : std::vector<std::size_t>{})
        << "plane " << q;
  }
  EXPECT_EQ(cells_in(planes, kLegalPlane), testing::sorted(game.legal_tiles()));
}

INSTANTIATE_TEST_SUITE_P(Movers, SquareOfPlayerZero,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{1, 0},
                                           std::pair<std::size_t, std::size_t>{2, 3},
                                           std::pair<std::size_t, std::size_t>{3, 2}));

// Every (owner, mover) pair, with all closed flags set on the cell: only the owner bits count.
class OwnerAgainstMover : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(OwnerAgainstMover, PlaneIsOwnerPlusOneMinusMover) {
  const auto [owner, mover] = GetParam();
  Game game = testing::game_with_mover(mover);
  constexpr std::size_t cell = 210;
  game.board.cells[cell] = static_cast<std::uint8_t>(0xF0 | (owner + 1));
  const Planes planes = get_representation(game);
  const std::size_t expected = (owner + 1 + 4 - mover) % 4;
  for (std::size_t q = 0; q < 4; ++q) {
    EXPECT_EQ(at(planes, q, cell), q == expected ? 1.0f : 0.0f) << "plane " << q;
    EXPECT_EQ(cells_in(planes, q).size(), q == expected ? 1u : 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, OwnerAgainstMover,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 4),
                                            ::testing::Range<std::size_t>(0, 4)));

TEST(Encoding, ClosedFlagsAloneAreEmpty) {
  Game game = Game::reset();
  game.board.cells[0] = 0x30;
  game.board.cells[205] = 0x30;
  game.board.cells[399] = 0xF0;
  const Planes planes = get_representation(game);
  for (std::size_t q = 0; q < 4; ++q) EXPECT_TRUE(cells_in(planes, q).empty()) << "plane " << q;
}

TEST(Encoding, FinishedGameHasNoMover) {
  Game game = Game::reset();
  game.players.clear();
  EXPECT_ENGINE_FAILURE(get_representation(game), "No current player");
}

// Along a whole greedy game: one owner plane per occupied cell, and legal tiles are empty cells.
TEST(Encoding, PlanesAgreeWithTheBoardThroughAGame) {
  Game game = Game::reset();
  while (!game.is_over()) {
    const Planes planes = get_representation(game);
    for (std::size_t c = 0; c < kCells; ++c) {
      const float sum = at(planes, 0, c) + at(planes, 1, c) + at(planes, 2, c) + at(planes, 3, c);
      ASSERT_EQ(sum, game.board.owner_plus_one(c) == 0 ? 0.0f : 1.0f) << "cell " << c;
      if (at(planes, kLegalPlane, c) == 1.0f) {
        ASSERT_EQ(game.board.owner_plus_one(c), 0u);
      }
    }
    ASSERT_EQ(cells_in(planes, kLegalPlane), testing::sorted(game.legal_tiles()));
    ASSERT_TRUE(game.apply(game.legal_tiles().back()).has_value());
  }
}

// The float planes packed the obvious way, one value at a time, most significant bit first.
PackedPlanes packed_one_by_one(const Planes& planes) {
  PackedPlanes bits{};
  for (std::size_t i = 0; i < planes.size(); ++i) {
    if (planes[i] == 1.0f) bits[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  return bits;
}

// The packed encoding is the float one, bit for bit, through whole games whose tiles are drawn
// at random (every mover, many owners, the closed flags of real positions), and unpacks to it.
TEST(Encoding, PackedIsTheFloatEncodingBitForBit) {
  std::mt19937 draw(7);
  for (int round = 0; round < 3; ++round) {
    Game game = Game::reset();
    while (!game.is_over()) {
      const Planes planes = get_representation(game);
      const PackedPlanes packed = get_packed_representation(game);
      ASSERT_EQ(packed, packed_one_by_one(planes)) << "after " << game.history.size() << " tiles";
      ASSERT_EQ(unpack_representation(packed), planes);
      const auto tiles = game.legal_tiles();
      ASSERT_TRUE(game.apply(tiles[draw() % tiles.size()]).has_value());
    }
  }
}

TEST(Encoding, PackedCountsOnlyTheOwnerBits) {
  Game game = testing::game_with_mover(2);
  game.board.cells[3] = 0xF0 | 4;
  game.board.cells[205] = 0x30;
  game.board.cells[399] = 0x50 | 1;
  EXPECT_EQ(get_packed_representation(game), packed_one_by_one(get_representation(game)));
}

TEST(Encoding, PackedFinishedGameHasNoMover) {
  Game game = Game::reset();
  game.players.clear();
  EXPECT_ENGINE_FAILURE(get_packed_representation(game), "No current player");
}

}  // namespace
}  // namespace velmar
