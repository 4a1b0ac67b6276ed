#pragma once
// An interpreter exception taken out of the interpreter's error indicator and
// owned here: its type, value and traceback.

#include <string>

#include "py_ref.hpp"

namespace velmar::py {

class Error {
 public:
  // Takes the pending exception (one must be set), normalised.
  static Error fetch();
  // A new exception of `type` with `message` as its single argument.
  static Error make(PyObject* type, const std::string& message);

  // "PyErr { type: <class 'TypeError'>, value: TypeError('...'), traceback: None }"
  std::string debug() const;
  // Sets `cause` as this exception's __cause__.
  void set_cause(const Error& cause);
  // Makes this the pending exception again.
  void restore() &&;

  PyObject* type() const { return type_.get(); }
  PyObject* value() const { return value_.get(); }

 private:
  Ref type_, value_, traceback_;
};

// repr(object) as UTF-8; a failing repr is replaced by a placeholder.
std::string repr(PyObject* object);

}  // namespace velmar::py
