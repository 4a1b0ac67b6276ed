#pragma once
// The search's view of the inference service: one position out, one reply back.
// The queue/pipe exchange with the Python service is one implementation; tests
// script their own.

#include <array>
#include <cstddef>
#include <expected>
#include <string>

#include "encoding.hpp"

namespace velmar {

inline constexpr std::size_t kValues = 4;

// A decoded reply. Entries past the fixed capacities are counted but not stored:
// the search turns a policy longer than the board into an internal failure.
struct Reply {
  // Logits by cell; only the first policy_len are ever written or read, so a reply made per
  // request is not cleared first.
  std::array<float, kCells> policy;
  std::size_t policy_len = 0;
  std::array<float, kValues> values{};  // by seat relative to the player to move
  std::size_t values_len = 0;
};

// A failure talking to the service, carried as its debug rendering.
struct EvalError {
  std::string debug;
};

class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Sends one request and decodes its reply into `reply`.
  // May throw to end the whole call (an interrupt noticed while talking to the service).
  virtual std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) = 0;

  // An evaluator that sends positions as packed bits says so: the search then encodes them
  // straight to bits and calls exchange_packed instead of exchange.
  virtual bool takes_packed() const { return false; }
  virtual std::expected<void, EvalError> exchange_packed(const PackedPlanes& planes, Reply& reply) {
    return exchange(unpack_representation(planes), reply);
  }
};

}  // namespace velmar
