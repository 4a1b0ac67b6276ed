// Counts of distinct tile sequences from the opening, from the game itself and from
// the placements alone.

#include <gtest/gtest.h>

#include "game.hpp"
#include "test_util.hpp"

namespace velmar {
namespace {

using Cells = std::vector<std::size_t>;

std::uint64_t perft(const Game& g, int depth) {
  if (depth == 0) return 1;
  std::uint64_t n = 0;
  for (std::size_t tile : g.legal_tiles()) {
    Game next = g;
    EXPECT_TRUE(next.apply(tile).has_value());
    n += perft(next, depth - 1);
  }
  return n;
}

// The same count while the first piece is being laid: the next tiles are the cells,
// other than those laid, of the placements that cover every laid tile.
std::uint64_t naive_perft(const std::vector<Cells>& placements, const Cells& laid, int depth) {
  if (depth == 0) return 1;
  std::set<std::size_t> next;
  for (const Cells& cells : placements) {
    if (!std::includes(cells.begin(), cells.end(), laid.begin(), laid.end())) continue;
    for (std::size_t c : cells) {
      if (!std::binary_search(laid.begin(), laid.end(), c)) next.insert(c);
    }
  }
  if (!laid.empty() && next.empty()) {
    ADD_FAILURE() << "a piece completes before the last level; the count does not model that";
    return 0;
  }
  std::uint64_t n = 0;
  for (std::size_t t : next) {
    Cells more = laid;
    more.insert(std::upper_bound(more.begin(), more.end(), t), t);
    n += naive_perft(placements, more, depth - 1);
  }
  return n;
}

TEST(Perft, OpeningSequences) {
  std::vector<Cells> placements;
  for (const auto& [key, cells] : testing::naive_placements(Board(), 0))
    placements.emplace_back(cells.begin(), cells.end());
  ASSERT_EQ(placements.size(), 58u);

  const Game g = Game::reset();
  const std::array<std::uint64_t, 6> expected = {1, 15, 140, 804, 2760, 4440};
  for (int depth = 0; depth < 6; ++depth) {
    const std::uint64_t counted = perft(g, depth);
    EXPECT_EQ(counted, naive_perft(placements, {}, depth)) << "depth " << depth;
    EXPECT_EQ(counted, expected[depth]) << "depth " << depth;
  }
}

}  // namespace
}  // namespace velmar
