#pragma once
// The plain exchange with the Python inference service: each request is put on the caller's
// queue object and its reply taken from the pipe object, through their "put" and "recv"
// methods, with the interpreter's public C API only. (Endpoints of velmar_wire itself take the
// native path instead: native_exchange.hpp.)

#include <array>
#include <expected>

#include "evaluator.hpp"
#include "interpreter.hpp"
#include "py_error.hpp"
#include "py_ref.hpp"

namespace velmar::py {

// The pending exception as an evaluation failure; an interrupt (KeyboardInterrupt, SystemExit)
// is thrown as Interrupted instead. The interpreter lock must be held.
std::unexpected<EvalError> pending_failure();

// Called with the interpreter lock released (see InterpreterUnlocked); constructed and
// destroyed with it held.
class QueueExchange final : public Evaluator {
 public:
  // `queue` and `pipe` are borrowed: the caller keeps them alive.
  QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id);

  // Also runs the interpreter's pending signal handlers (only the main thread has any).
  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override;

 private:
  // A new request tuple (id, planes): five new lists of 400 floats, shared 0.0 and 1.0 objects
  // where the planes hold them.
  Ref request(const Planes& planes) const;
  bool ready() const;

  // Equal floats in turn: the references that a request takes and its release gives back are
  // spread over several objects, so that the processor counts them side by side rather than one
  // after the other on a single object.
  static constexpr std::size_t kSpread = 16;

  PyObject* queue_;
  PyObject* pipe_;
  Ref id_;
  Ref put_, recv_;                         // method names
  std::array<Ref, kSpread> zeros_, ones_;  // shared by every request: the planes hold nothing else
  Ref zero_row_;                           // 400 of the zeros in turn: each row starts as its copy
};

}  // namespace velmar::py
