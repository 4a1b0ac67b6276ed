#include "tree.hpp"

#include <algorithm>

#include "failure.hpp"

namespace velmar {

void Tree::reset() {
  nodes_.clear();
  states_.clear();
  nodes_.push_back(Node{});
}

void Tree::expand(NodeIndex i, std::span<const TilePrior> fresh, Rng& rng) {
  check_index(i, nodes_.size());
  const std::size_t start = nodes_.size();
  // By index and by value: the pushes below may move the whole arena.
  const std::size_t first = nodes_[i].first_child, count = nodes_[i].child_count;
  for (std::size_t k = first; k < first + count; ++k) {
    const Node old = nodes_[k];
    const bool replaced =
        std::any_of(fresh.begin(), fresh.end(), [&](const TilePrior& f) { return f.tile == old.tile; });
    if (!replaced) nodes_.push_back(old);
  }
  for (const TilePrior& f : fresh) {
    Node child;
    child.tile = f.tile;
    child.prior = f.prior;
    nodes_.push_back(child);
  }
  std::shuffle(nodes_.begin() + static_cast<std::ptrdiff_t>(start), nodes_.end(), rng);
  nodes_[i].first_child = static_cast<NodeIndex>(start);
  nodes_[i].child_count = static_cast<std::uint16_t>(nodes_.size() - start);
}

}  // namespace velmar
