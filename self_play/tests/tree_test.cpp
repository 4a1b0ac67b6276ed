#include "tree.hpp"

#include <gtest/gtest.h>

#include <map>

#include "engine_test_util.hpp"

namespace velmar {
namespace {

// Re-expanding a node copies its surviving children to the end of the arena; the
// arena may grow in the middle of that copy, whatever its fill.
class Reexpand : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(Reexpand, SurvivingChildrenKeepTheirFields) {
  const std::uint16_t n = GetParam();
  Tree tree;
  tree.reset();
  Rng rng{n};
  std::vector<TilePrior> old;
  for (std::uint16_t k = 0; k < n; ++k) old.push_back({static_cast<std::uint16_t>(k + 1), 0.5f});
  tree.expand(Tree::kRoot, old, rng);
  for (Node& child : tree.children(Tree::kRoot)) {
    child.visits = child.tile * 3u;
    child.value_sum = static_cast<float>(child.tile) / 2;
  }

  const std::vector<TilePrior> fresh = {{1, 0.25f}, {399, 0.75f}};  // replaces tile 1
  tree.expand(Tree::kRoot, fresh, rng);
  std::map<std::size_t, const Node*> by_tile;
  for (const Node& child : tree.children(Tree::kRoot)) by_tile[child.tile] = &child;
  ASSERT_EQ(by_tile.size(), static_cast<std::size_t>(n) + 1);
  ASSERT_EQ(tree[Tree::kRoot].child_count, n + 1u);
  EXPECT_EQ(by_tile.at(1)->visits, 0u);
  EXPECT_EQ(by_tile.at(1)->prior, 0.25f);
  EXPECT_EQ(by_tile.at(399)->prior, 0.75f);
  for (std::uint16_t t = 2; t <= n; ++t) {
    ASSERT_TRUE(by_tile.count(t)) << "lost tile " << t;
    EXPECT_EQ(by_tile.at(t)->visits, t * 3u);
    EXPECT_EQ(by_tile.at(t)->value_sum, static_cast<float>(t) / 2);
    EXPECT_EQ(by_tile.at(t)->prior, 0.5f);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Reexpand, ::testing::Values(1, 2, 3, 5, 7, 15, 31, 63, 100, 255));

}  // namespace
}  // namespace velmar
