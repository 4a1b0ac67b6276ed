#pragma once
// The evaluator that talks to the Python inference service: each request is
// put on the caller's queue object and its reply taken from the pipe object.

#include <array>

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

// The search runs without the interpreter lock, so that other threads of the process (other
// games) run meanwhile; the exchange takes the lock back only to talk to the queue and pipe.
class InterpreterUnlocked {
 public:
  InterpreterUnlocked() : state_(PyEval_SaveThread()) {}
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

 private:
  PyThreadState* state_;
};

class InterpreterLocked {
 public:
  InterpreterLocked() : state_(PyGILState_Ensure()) {}
  ~InterpreterLocked() { PyGILState_Release(state_); }
  InterpreterLocked(const InterpreterLocked&) = delete;
  InterpreterLocked& operator=(const InterpreterLocked&) = delete;

 private:
  PyGILState_STATE state_;
};

// Called with the interpreter lock released (see InterpreterUnlocked); constructed and
// destroyed with it held.
class QueueExchange final : public Evaluator {
 public:
  // `queue` and `pipe` are borrowed: the caller keeps them alive.
  QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id);

  // Also runs the interpreter's pending signal handlers (only the main thread has any).
  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override;

 private:
  // The request tuple (id, planes) for `planes`: the last one refilled when only this object
  // still holds it, else a new one.
  Ref request(const Planes& planes);
  // Sets row `q` of the request to `plane`; false when a float could not be made.
  bool fill_row(PyObject* row, std::size_t q, const float* plane);

  PyObject* queue_;
  PyObject* pipe_;
  Ref id_;
  Ref zero_, one_;  // shared by every request: the planes hold nothing else
  Ref put_, recv_;  // method names
  Ref message_;     // the last request
  // The last request's rows as written, the planes they were written from, and whether a row
  // holds nothing but zero_ and one_.
  std::array<std::array<PyObject*, kCells>, kPlanes> written_;
  Planes last_planes_;
  std::array<bool, kPlanes> written_clean_{};
};

}  // namespace velmar::py
