#include "exchange.hpp"

#include <algorithm>
#include <span>

#include "failure.hpp"
#include "py_error.hpp"

namespace velmar::py {
namespace {

std::unexpected<EvalError> failure(const Error& error) { return std::unexpected(EvalError{error.debug()}); }

bool interrupt_pending() {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit);
}

// Reads a sequence of numbers into `out`, counting every item in `len` but
// storing only as many as fit.
std::expected<void, EvalError> read_floats(PyObject* item, std::span<float> out, std::size_t& len) {
  if (PyUnicode_Check(item)) return failure(Error::make(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  if (!PySequence_Check(item)) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(item)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) return pending_failure();
    return failure(
        Error::make(PyExc_TypeError, std::string("'") + text + "' object cannot be converted to 'Sequence'"));
  }
  len = 0;
  auto take = [&](PyObject* number) {
    const double value = PyFloat_CheckExact(number) ? PyFloat_AS_DOUBLE(number) : PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (len < out.size()) out[len] = static_cast<float>(value);
    ++len;
    return true;
  };
  if (PyList_CheckExact(item) || PyTuple_CheckExact(item)) {
    // Lists and tuples are read by index: the same items in the same order as iterating them.
    // The size is read anew for every item and the item held while it converts, since a
    // __float__ may change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(item); ++i) {
      PyObject* number = PySequence_Fast_GET_ITEM(item, i);
      if (PyFloat_CheckExact(number)) {  // runs no code: nothing can change the list meanwhile
        if (len < out.size()) out[len] = static_cast<float>(PyFloat_AS_DOUBLE(number));
        ++len;
        continue;
      }
      const Ref held = Ref::borrow(number);
      if (!take(held.get())) return pending_failure();
    }
    return {};
  }
  Ref iterator = Ref::steal(PyObject_GetIter(item));
  if (!iterator) return pending_failure();
  while (Ref next = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!take(next.get())) return pending_failure();
  }
  if (PyErr_Occurred()) return pending_failure();
  return {};
}

std::expected<void, EvalError> read_item(PyObject* reply, long key, std::span<float> out, std::size_t& len) {
  Ref index = Ref::steal(PyLong_FromLong(key));
  Ref item = index ? Ref::steal(PyObject_GetItem(reply, index.get())) : Ref();
  if (!item) return pending_failure();
  return read_floats(item.get(), out, len);
}

}  // namespace

std::unexpected<EvalError> pending_failure() {
  if (interrupt_pending()) throw Interrupted{Error::fetch()};
  return failure(Error::fetch());
}

QueueExchange::QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id)
    : queue_(queue),
      pipe_(pipe),
      id_(Ref::steal(PyLong_FromLong(id))),
      put_(Ref::steal(PyUnicode_InternFromString("put"))),
      recv_(Ref::steal(PyUnicode_InternFromString("recv"))) {
  for (std::size_t k = 0; k < kSpread; ++k) {
    zeros_[k] = Ref::steal(PyFloat_FromDouble(0.0));
    ones_[k] = Ref::steal(PyFloat_FromDouble(1.0));
  }
  zero_row_ = Ref::steal(PyList_New(kCells));
  if (!zero_row_) return;
  for (std::size_t c = 0; c < kCells; ++c) {
    PyList_SET_ITEM(zero_row_.get(), static_cast<Py_ssize_t>(c), Py_XNewRef(zeros_[c % kSpread].get()));
  }
}

bool QueueExchange::ready() const {
  const auto made = [](const Ref& r) { return static_cast<bool>(r); };
  return id_ && put_ && recv_ && std::all_of(zeros_.begin(), zeros_.end(), made) &&
         std::all_of(ones_.begin(), ones_.end(), made) && zero_row_;
}

Ref QueueExchange::request(const Planes& planes) const {
  Ref rows = Ref::steal(PyList_New(kPlanes));
  if (!rows) return {};
  for (std::size_t q = 0; q < kPlanes; ++q) {
    // A copy of the row of zeros, then the cells that hold anything else.
    Ref row = Ref::steal(PyList_GetSlice(zero_row_.get(), 0, kCells));
    if (!row) return {};
    const float* plane = planes.data() + q * kCells;
    for (std::size_t c = 0; c < kCells; ++c) {
      const float v = plane[c];
      if (v == 0.0f) continue;
      PyObject* number = v == 1.0f ? Py_NewRef(ones_[c % kSpread].get()) : PyFloat_FromDouble(v);
      if (number == nullptr || PyList_SetItem(row.get(), static_cast<Py_ssize_t>(c), number) < 0) return {};
    }
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(q), row.release());
  }
  return Ref::steal(PyTuple_Pack(2, id_.get(), rows.get()));
}

std::expected<void, EvalError> QueueExchange::exchange(const Planes& planes, Reply& reply) {
  // Declared first, so every reference below is released before the lock is.
  const InterpreterLocked locked;
  // A long search is where the interpreter would otherwise not see a Ctrl-C for seconds.
  if (PyErr_CheckSignals() < 0) throw Interrupted{Error::fetch()};
  if (!ready()) return pending_failure();
  {
    Ref message = request(planes);
    if (!message) return pending_failure();
    Ref sent = Ref::steal(PyObject_CallMethodOneArg(queue_, put_.get(), message.get()));
    if (!sent) return pending_failure();
  }
  Ref answer = Ref::steal(PyObject_CallMethodNoArgs(pipe_, recv_.get()));
  if (!answer) return pending_failure();
  if (auto policy = read_item(answer.get(), 0, reply.policy, reply.policy_len); !policy) return policy;
  return read_item(answer.get(), 1, reply.values, reply.values_len);
}

}  // namespace velmar::py
