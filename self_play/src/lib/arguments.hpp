#pragma once
// Binding of fast-call arguments to named parameters, with the interpreter's
// own wording for argument errors.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "py_ref.hpp"

namespace velmar::py {

inline constexpr std::array<std::string_view, 4> kParameters = {"id", "config", "inference_queue", "pipe"};
using BoundArguments = std::array<PyObject*, kParameters.size()>;  // borrowed

// Returns the four arguments, or nothing with a TypeError set.
std::optional<BoundArguments> bind_arguments(std::string_view function, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

// `id` as a signed 32-bit integer, or nothing with the conversion error set.
std::optional<std::int32_t> convert_id(PyObject* id);

}  // namespace velmar::py
