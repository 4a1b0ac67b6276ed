#include "arguments.hpp"

#include <climits>
#include <string>
#include <vector>

#include "py_error.hpp"

namespace velmar::py {
namespace {

std::nullopt_t type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return std::nullopt;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

}  // namespace

std::optional<BoundArguments> bind_arguments(std::string_view function, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  const std::string name = std::string(function) + "()";
  const auto count = static_cast<Py_ssize_t>(kParameters.size());
  if (nargs > count) {
    return type_error(name + " takes " + std::to_string(count) + " positional arguments but " +
                      std::to_string(nargs) + " were given");
  }
  BoundArguments bound{};
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const char* text = PyUnicode_AsUTF8(keyword);
    if (text == nullptr) return std::nullopt;
    std::size_t slot = kParameters.size();
    for (std::size_t p = 0; p < kParameters.size(); ++p) {
      if (kParameters[p] == text) slot = p;
    }
    if (slot == kParameters.size())
      return type_error(name + " got an unexpected keyword argument '" + text + "'");
    if (bound[slot] != nullptr) return type_error(name + " got multiple values for argument '" + text + "'");
    bound[slot] = args[nargs + k];
  }

  std::vector<std::string_view> missing;
  for (std::size_t p = 0; p < kParameters.size(); ++p) {
    if (bound[p] == nullptr) missing.push_back(kParameters[p]);
  }
  if (!missing.empty()) {
    return type_error(name + " missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
  }
  return bound;
}

std::optional<std::int32_t> convert_id(PyObject* id) {
  const long value = PyLong_AsLong(id);
  if (value == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    Error original = Error::fetch();
    Ref text = Ref::steal(PyObject_Str(original.value()));
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (message == nullptr) return std::nullopt;
    Error wrapped = Error::make(PyExc_TypeError, std::string("argument 'id': ") + message);
    Ref cause = Ref::steal(PyException_GetCause(original.value()));
    if (cause) PyException_SetCause(wrapped.value(), cause.release());
    std::move(wrapped).restore();
    return std::nullopt;
  }
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace velmar::py
