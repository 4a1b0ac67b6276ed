#pragma once
// The interpreter lock around the engine, and the interrupt that leaves a call as itself.

#include "py_error.hpp"

namespace velmar::py {

// An interrupt (KeyboardInterrupt, SystemExit, or whatever a signal handler raised) that must
// leave the call as itself rather than as a failed evaluation, so that a caller's
// `except Exception` cannot swallow Ctrl-C. Thrown through the engine and restored at the
// module boundary; deliberately not a std::exception.
struct Interrupted {
  Error error;
};

// The search runs without the interpreter lock, so that other threads of the process (other
// games) run meanwhile; an exchange takes the lock back only where it must talk to the
// interpreter.
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

}  // namespace velmar::py
