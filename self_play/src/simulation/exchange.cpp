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

// The pending exception as an evaluation failure; an interrupt is thrown instead.
std::unexpected<EvalError> pending_failure() {
  if (interrupt_pending()) throw Interrupted{Error::fetch()};
  return failure(Error::fetch());
}

// Reads a sequence of numbers into `out`, counting every item in `len` but
// storing only as many as fit.
std::expected<void, EvalError> read_floats(PyObject* item, std::span<float> out, std::size_t& len) {
  if (PyUnicode_Check(item)) return failure(Error::make(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  if (!PySequence_Check(item)) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(item)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) return pending_failure();
    return failure(Error::make(PyExc_TypeError,
                               std::string("'") + text + "' object cannot be converted to 'Sequence'"));
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
    // Lists and tuples are read in place: the same items in the same order as iterating them.
    Ref fast = Ref::borrow(item);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
      const Ref number = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
      if (!take(number.get())) return pending_failure();
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

QueueExchange::QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id)
    : queue_(queue),
      pipe_(pipe),
      id_(Ref::steal(PyLong_FromLong(id))),
      zero_(Ref::steal(PyFloat_FromDouble(0.0))),
      one_(Ref::steal(PyFloat_FromDouble(1.0))),
      put_(Ref::steal(PyUnicode_InternFromString("put"))),
      recv_(Ref::steal(PyUnicode_InternFromString("recv"))) {}

Ref QueueExchange::request(const Planes& planes) const {
  Ref rows = Ref::steal(PyList_New(kPlanes));
  if (!rows) return {};
  for (std::size_t q = 0; q < kPlanes; ++q) {
    Ref row = Ref::steal(PyList_New(kCells));
    if (!row) return {};
    // The planes hold only 0.0 and 1.0: fill in the two shared objects, then
    // take their references in bulk.
    PyObject** items = reinterpret_cast<PyListObject*>(row.get())->ob_item;
    Py_ssize_t ones = 0, zeros = 0;
    bool failed = false;
    for (std::size_t c = 0; c < kCells; ++c) {
      const float v = planes[q * kCells + c];
      ones += v == 1.0f;
      zeros += v == 0.0f;
      if (v == 1.0f || v == 0.0f) {
        items[c] = v == 1.0f ? one_.get() : zero_.get();
      } else {
        items[c] = PyFloat_FromDouble(v);
        failed |= items[c] == nullptr;
      }
    }
    Py_SET_REFCNT(one_.get(), Py_REFCNT(one_.get()) + ones);
    Py_SET_REFCNT(zero_.get(), Py_REFCNT(zero_.get()) + zeros);
    if (failed) return {};
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(q), row.release());
  }
  return Ref::steal(PyTuple_Pack(2, id_.get(), rows.get()));
}

void QueueExchange::between_simulations() {
  if (PyErr_CheckSignals() < 0) throw Interrupted{Error::fetch()};
}

std::expected<void, EvalError> QueueExchange::exchange(const Planes& planes, Reply& reply) {
  if (!id_ || !zero_ || !one_ || !put_ || !recv_) return pending_failure();
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
