#pragma once
// Owning handle of one interpreter reference. The only place that counts references.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velmar::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed, for a failed call).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference over to the caller (for APIs that steal one).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace velmar::py
