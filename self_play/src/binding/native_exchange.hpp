#pragma once
// The native path: when the queue and pipe handed to generate_game_data are velmar_wire's own
// endpoints (exactly its RequestSender and ReplyPipe), the engine writes each request frame
// with the planes packed straight from the board (get_packed_representation) and reads each
// reply straight into its logits and values, through
// the C interface velmar_wire exports (velmar_wire.h). No interpreter object is made per request
// and the interpreter lock is not taken for one, except on the main thread, where the
// interpreter's signal handlers run before every request as on the plain path. Failures come
// back as the very exceptions the endpoints' own put and recv raise.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>

#include "evaluator.hpp"
#include "py_ref.hpp"
#include "velmar_wire.h"

namespace velmar::py {

// Called with the interpreter lock released; constructed and destroyed with it held.
class NativeExchange final : public Evaluator {
 public:
  // `sender` and `pipe` are borrowed: the caller keeps them alive. `expected`: the pipe's expected id.
  NativeExchange(const velmar_wire_api& api, PyObject* sender, PyObject* pipe, std::int32_t id,
                 std::int64_t expected);
  // Adds the replies received to the pipe's `replies`, as its recv would have counted them.
  ~NativeExchange() override;
  NativeExchange(const NativeExchange&) = delete;
  NativeExchange& operator=(const NativeExchange&) = delete;

  // The frame's bits straight from the search's packed encoding.
  bool takes_packed() const override { return true; }
  std::expected<void, EvalError> exchange_packed(const PackedPlanes& planes, Reply& reply) override;
  // The same from float planes (packed here; a value other than 0.0 and 1.0 fails as put fails).
  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override;

 private:
  using Frame = std::array<unsigned char, VELMAR_WIRE_FRAME_BYTES>;
  // Writes the frame (its id set here), then waits for and reads the reply.
  std::expected<void, EvalError> send_and_receive(Frame& frame, Reply& reply);

  // The endpoint's exception for `out`, as an evaluation failure (an interrupt is thrown).
  std::unexpected<EvalError> fail(PyObject* endpoint, const velmar_wire_outcome& out) const;
  // Runs the signal handlers; a failure when one raised (an interrupt is thrown).
  std::expected<void, EvalError> run_signal_handlers() const;

  const velmar_wire_api& api_;
  PyObject* sender_;
  PyObject* pipe_;
  std::int32_t id_;
  std::int64_t expected_;
  bool main_thread_;  // only the main thread runs signal handlers
  std::int64_t replies_ = 0;
};

// The exchange for one call: the native path for velmar_wire's endpoints (with an int as the
// pipe's expected id), else the plain QueueExchange over put and recv. The lock must be held.
std::unique_ptr<Evaluator> make_exchange(PyObject* queue, PyObject* pipe, std::int32_t id);

}  // namespace velmar::py
