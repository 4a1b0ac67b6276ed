#include <gtest/gtest.h>
#include "game.hpp"
TEST(Smoke, Opening) {
  auto g = velmar::Game::reset();
  EXPECT_EQ(g.tiles.placements().size(), 58u);
  EXPECT_EQ(g.legal_tiles().size(), 15u);
}
