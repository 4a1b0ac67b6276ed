#pragma once
// The search tree of one move, kept in one array that is reused from move to
// move. A node's children lie side by side; their order is shuffled when they
// are created, so ties between equal scores never favour the same cells.
// Each evaluated node also keeps its position, so that a simulation starts from
// the copy of its leaf's parent instead of replaying the whole path from the root.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "game.hpp"
#include "random.hpp"

namespace velmar {

using NodeIndex = std::uint32_t;

using StateIndex = std::uint32_t;
inline constexpr StateIndex kNoState = ~StateIndex{0};

struct Node {
  NodeIndex first_child = 0;
  StateIndex state = kNoState;  // the node's position, once evaluated
  std::uint16_t child_count = 0;
  std::uint16_t tile = 0;     // the move that leads into this node
  std::uint32_t to_move = 0;  // meaningful once expanded
  std::uint32_t visits = 0;
  float value_sum = 0.0f;
  float prior = 0.0f;
};

struct TilePrior {
  std::uint16_t tile;
  float prior;
};

class Tree {
 public:
  static constexpr NodeIndex kRoot = 0;

  // A fresh root; the storage of earlier trees is kept.
  void reset();

  Node& operator[](NodeIndex i) { return nodes_[i]; }
  const Node& operator[](NodeIndex i) const { return nodes_[i]; }
  std::span<Node> children(NodeIndex i) {
    return {nodes_.data() + nodes_[i].first_child, nodes_[i].child_count};
  }
  std::span<const Node> children(NodeIndex i) const {
    return {nodes_.data() + nodes_[i].first_child, nodes_[i].child_count};
  }
  NodeIndex child_index(NodeIndex parent, std::size_t k) const {
    return nodes_[parent].first_child + static_cast<NodeIndex>(k);
  }
  std::size_t size() const { return nodes_.size(); }

  // The kept position of node `i`, if any.
  const Game* state(NodeIndex i) const {
    return nodes_[i].state == kNoState ? nullptr : &states_[nodes_[i].state];
  }
  // Keeps a copy of `game` as node `i`'s position and returns that copy. `game` may be
  // another node's kept position.
  Game& keep_state(NodeIndex i, const Game& game) {
    states_.push_back(game);
    nodes_[i].state = static_cast<StateIndex>(states_.size() - 1);
    return states_.back();
  }

  // Gives node `i` a fresh child for every entry; an existing child with the same
  // tile is replaced along with its subtree, the other existing children stay.
  void expand(NodeIndex i, std::span<const TilePrior> fresh, Rng& rng);

 private:
  std::vector<Node> nodes_;
  std::vector<Game> states_;
};

}  // namespace velmar
