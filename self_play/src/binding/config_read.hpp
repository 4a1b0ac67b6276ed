#pragma once
// Reads the six search settings from the attributes of an interpreter object.

#include <expected>

#include "config.hpp"
#include "py_error.hpp"

namespace velmar::py {

std::expected<Config, Error> read_config(PyObject* object);

}  // namespace velmar::py
