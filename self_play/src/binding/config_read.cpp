#include "config_read.hpp"

#include <array>
#include <optional>
#include <string_view>

namespace velmar::py {
namespace {

constexpr std::array<std::string_view, 6> kFields = {
    "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction"};

// Interned once per process, under the interpreter lock.
PyObject* field_name(std::string_view name) {
  static std::array<PyObject*, kFields.size()> names = [] {
    std::array<PyObject*, kFields.size()> out{};
    for (std::size_t i = 0; i < kFields.size(); ++i) out[i] = PyUnicode_InternFromString(kFields[i].data());
    return out;
  }();
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i] == name) return names[i];
  }
  return nullptr;
}

Error extraction_failure(const char* name) {
  Error cause = Error::fetch();
  Error error = Error::make(PyExc_TypeError, std::string("failed to extract field Config.") + name);
  error.set_cause(cause);
  return error;
}

template <class T, class Convert>
bool read_field(PyObject* object, const char* name, T& out, Convert convert, std::optional<Error>& error) {
  PyObject* key = field_name(name);
  Ref value = key ? Ref::steal(PyObject_GetAttr(object, key)) : Ref();
  if (!value) {
    error = Error::fetch();
    return false;
  }
  if (!convert(value.get(), out)) {
    error = extraction_failure(name);
    return false;
  }
  return true;
}

bool to_u64(PyObject* value, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_f32(PyObject* value, float& out) {
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = static_cast<float>(v);
  return true;
}

}  // namespace

std::expected<Config, Error> read_config(PyObject* object) {
  Config c;
  std::optional<Error> error;
  const bool ok = read_field(object, "sims_per_move", c.sims_per_move, to_u64, error) &&
                  read_field(object, "sample_moves", c.sample_moves, to_u64, error) &&
                  read_field(object, "c_base", c.c_base, to_f32, error) &&
                  read_field(object, "c_init", c.c_init, to_f32, error) &&
                  read_field(object, "dirichlet_alpha", c.dirichlet_alpha, to_f32, error) &&
                  read_field(object, "exploration_fraction", c.exploration_fraction, to_f32, error);
  if (!ok) return std::unexpected(std::move(*error));
  return c;
}

}  // namespace velmar::py
