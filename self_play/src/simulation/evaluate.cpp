#include "evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "failure.hpp"

namespace velmar {

std::expected<Values, EvalError> evaluate(Tree& tree, NodeIndex node, const Game& game, Evaluator& evaluator,
                                          Rng& rng) {
  if (game.is_over()) return game.get_payoff();

  Reply reply;
  auto sent = evaluator.takes_packed() ? evaluator.exchange_packed(get_packed_representation(game), reply)
                                       : evaluator.exchange(get_representation(game), reply);
  if (!sent) return std::unexpected(std::move(sent.error()));
  const std::size_t p = *game.current_player();

  if (reply.policy_len > kCells) fail_index(kCells, kCells);
  FixedVec<TilePrior, kCells> kept;
  float largest = -std::numeric_limits<float>::infinity();
  // The legal tiles are the marks of the legal plane, in the same ascending order.
  game.tiles.keys().for_each([&](std::size_t i) {
    if (i >= reply.policy_len) return;
    kept.push_back({static_cast<std::uint16_t>(i), reply.policy[i]});
    largest = std::max(largest, reply.policy[i]);
  });
  // Shifting by the largest logit keeps exp finite; the priors are unchanged.
  float sum = 0.0f;
  for (TilePrior& k : kept) {
    k.prior = std::exp(k.prior - largest);
    sum += k.prior;
  }
  for (TilePrior& k : kept) k.prior /= sum;

  tree[node].to_move = static_cast<std::uint32_t>(p);
  tree.expand(node, {kept.begin(), kept.size()}, rng);

  if (reply.values_len < kValues) fail_index(reply.values_len, reply.values_len);
  Values out{};
  for (std::size_t k = 0; k < kValues; ++k) out[(k + kValues - p) % kValues] = reply.values[k];
  return out;
}

}  // namespace velmar
