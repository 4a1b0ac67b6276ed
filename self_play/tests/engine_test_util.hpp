#pragma once
// Helpers shared by the engine tests: a scripted stand-in for the inference
// service, reply builders and hand-built positions.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <expected>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "config.hpp"
#include "evaluator.hpp"
#include "failure.hpp"
#include "game.hpp"
#include "tree.hpp"

namespace velmar::testing {

// A reply whose lengths are those of the given lists; entries past the fixed
// capacities are counted but dropped, as the real decoder does.
inline Reply make_reply(const std::vector<float>& policy, const std::vector<float>& values) {
  Reply reply;
  reply.policy_len = policy.size();
  std::copy_n(policy.begin(), std::min(policy.size(), kCells), reply.policy.begin());
  reply.values_len = values.size();
  std::copy_n(values.begin(), std::min(values.size(), kValues), reply.values.begin());
  return reply;
}

// 400 equal logits and equal values: every legal tile gets the same prior.
inline Reply uniform_reply() {
  return make_reply(std::vector<float>(kCells, 0.0f), {0.25f, 0.25f, 0.25f, 0.25f});
}

using Answer = std::expected<Reply, EvalError>;

// Answers each request from the scripted queue while it lasts, then from the
// callback. Keeps every encoding it was sent when `keep_planes` is set.
class ScriptedEvaluator final : public Evaluator {
 public:
  using Callback = std::function<Answer(const Planes&, std::size_t call)>;

  explicit ScriptedEvaluator(Callback fallback = [](const Planes&, std::size_t) { return uniform_reply(); })
      : fallback_(std::move(fallback)) {}

  ScriptedEvaluator& then(Answer answer) {
    script_.push_back(std::move(answer));
    return *this;
  }

  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override {
    if (keep_planes) sent.push_back(planes);
    const std::size_t call = calls++;
    Answer answer = script_.empty() ? fallback_(planes, call) : std::move(script_.front());
    if (!script_.empty()) script_.pop_front();
    if (!answer) return std::unexpected(std::move(answer.error()));
    reply = *answer;
    return {};
  }

  std::size_t calls = 0;
  bool keep_planes = true;
  std::vector<Planes> sent;

 private:
  Callback fallback_;
  std::deque<Answer> script_;
};

inline Answer fail_with(std::string debug) { return std::unexpected(EvalError{std::move(debug)}); }

inline SearchParams params(float c_base, float c_init, std::uint64_t sims = 0, float alpha = 0.3f,
                           float fraction = 0.25f) {
  return SearchParams::from(Config{sims, 0, c_base, c_init, alpha, fraction});
}

// A fresh game with `player` to move instead of player 0.
inline Game game_with_mover(std::size_t player) {
  Game game = Game::reset();
  game.current = player;
  game.tiles = get_tile_moves(game.board, player);
  return game;
}

// A fresh root expanded with the given tiles, all of equal prior.
inline void expand_root(Tree& tree, std::initializer_list<std::uint16_t> tiles, Rng& rng) {
  tree.reset();
  std::vector<TilePrior> fresh;
  for (std::uint16_t t : tiles) fresh.push_back({t, 1.0f / static_cast<float>(tiles.size())});
  tree.expand(Tree::kRoot, fresh, rng);
}

inline std::vector<std::size_t> child_tiles(const Tree& tree, NodeIndex node) {
  std::vector<std::size_t> tiles;
  for (const Node& child : tree.children(node)) tiles.push_back(child.tile);
  return tiles;
}

inline std::vector<std::size_t> sorted(std::vector<std::size_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// The position of `tile` among the node's children; fails the test if absent.
inline std::size_t position_of(const Tree& tree, NodeIndex node, std::size_t tile) {
  const auto tiles = child_tiles(tree, node);
  const auto it = std::find(tiles.begin(), tiles.end(), tile);
  EXPECT_NE(it, tiles.end()) << "no child for tile " << tile;
  return static_cast<std::size_t>(it - tiles.begin());
}

inline const std::vector<std::size_t> kOpening0 = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

}  // namespace velmar::testing

// Runs `stmt` and expects an InternalFailure carrying exactly `text`.
#define EXPECT_ENGINE_FAILURE(stmt, text)                \
  do {                                                   \
    try {                                                \
      stmt;                                              \
      ADD_FAILURE() << "no InternalFailure from " #stmt; \
    } catch (const ::velmar::InternalFailure& failure) { \
      EXPECT_EQ(std::string(failure.what()), text);      \
    }                                                    \
  } while (0)
