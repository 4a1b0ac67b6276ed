#include "py_error.hpp"

namespace velmar::py {

Error Error::fetch() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Error error;
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  return error;
}

Error Error::make(PyObject* type, const std::string& message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref value = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
  if (!value) return fetch();
  Error error;
  error.type_ = Ref::borrow(type);
  error.value_ = std::move(value);
  return error;
}

std::string repr(PyObject* object) {
  Ref text = Ref::steal(PyObject_Repr(object));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return utf8;
}

std::string Error::debug() const {
  return "PyErr { type: " + repr(type_.get()) + ", value: " + repr(value_.get()) +
         ", traceback: " + (traceback_ ? repr(traceback_.get()) : std::string("None")) + " }";
}

void Error::set_cause(const Error& cause) {
  if (value_ && cause.value_) PyException_SetCause(value_.get(), Ref(cause.value_).release());
}

void Error::restore() && { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

}  // namespace velmar::py
