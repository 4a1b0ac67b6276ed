#include "record.hpp"

namespace velmar::py {
namespace {

template <class T, class Convert>
Ref list_of(const T& items, Convert convert) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    Ref value = convert(item);
    if (!value) return {};
    PyList_SET_ITEM(list.get(), i++, value.release());
  }
  return list;
}

Ref pair(PyObject* first, PyObject* second) {
  Ref a = Ref::steal(first), b = Ref::steal(second);
  if (!a || !b) return {};
  return Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
}

}  // namespace

Ref record_to_python(const Record& record) {
  Ref moves = list_of(record.moves,
                      [](const Move& m) { return pair(PyLong_FromLong(m.player), PyLong_FromLong(m.cell)); });
  Ref policies = list_of(record.policies, [](const PolicyRecord& policy) {
    return list_of(policy, [](const PolicyEntry& e) {
      return pair(PyLong_FromLong(e.tile), PyFloat_FromDouble(static_cast<double>(e.share)));
    });
  });
  Ref payoff =
      list_of(record.payoff, [](float v) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(v))); });
  if (!moves || !policies || !payoff) return {};
  return Ref::steal(PyTuple_Pack(3, moves.get(), policies.get(), payoff.get()));
}

}  // namespace velmar::py
