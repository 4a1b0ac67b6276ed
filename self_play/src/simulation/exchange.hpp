#pragma once
// The evaluator that talks to the Python inference service: each request is
// put on the caller's queue object and its reply taken from the pipe object.

#include "evaluator.hpp"
#include "py_error.hpp"
#include "py_ref.hpp"

namespace velmar::py {

// An interrupt (KeyboardInterrupt, SystemExit, or whatever a signal handler raised) that must
// leave the call as itself rather than as a failed evaluation, so that a caller's
// `except Exception` cannot swallow Ctrl-C. Thrown through the engine and restored at the
// module boundary; deliberately not a std::exception.
struct Interrupted {
  Error error;
};

class QueueExchange final : public Evaluator {
 public:
  // `queue` and `pipe` are borrowed: the caller keeps them alive.
  QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id);

  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override;
  // Runs the interpreter's pending signal handlers (only the main thread has any).
  void between_simulations() override;

 private:
  Ref request(const Planes& planes) const;

  PyObject* queue_;
  PyObject* pipe_;
  Ref id_;
  Ref zero_, one_;  // shared by every request: the planes hold nothing else
  Ref put_, recv_;  // method names
};

}  // namespace velmar::py
