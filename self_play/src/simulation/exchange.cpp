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

namespace {

// Sets `row` (a list of kCells items) to one plane: the two shared objects for 0.0 and 1.0, a new
// float otherwise, releasing the items it replaces. The shared objects' references are counted
// in bulk. False when a float could not be made (that item is left empty).
bool fill_row(PyObject* row, const float* plane, PyObject* zero, PyObject* one) {
  PyObject** items = reinterpret_cast<PyListObject*>(row)->ob_item;
  Py_ssize_t ones = 0, zeros = 0;
  bool made = true;
  for (std::size_t c = 0; c < kCells; ++c) {
    const float v = plane[c];
    PyObject* old = items[c];
    const bool is_one = v == 1.0f, was_one = old == one;
    const bool shared = is_one || v == 0.0f, was_shared = was_one || old == zero;
    // Without branches on the values: the planes change from one request to the next.
    items[c] = is_one ? one : zero;
    ones += static_cast<Py_ssize_t>(is_one) - static_cast<Py_ssize_t>(was_one);
    zeros += static_cast<Py_ssize_t>(shared && !is_one) - static_cast<Py_ssize_t>(was_shared && !was_one);
    if (!shared) [[unlikely]] {
      items[c] = PyFloat_FromDouble(v);
      made &= items[c] != nullptr;
    }
    if (!was_shared) [[unlikely]] {
      Py_XDECREF(old);  // an empty slot of a new list, or a float that was neither 0.0 nor 1.0
    }
  }
  Py_SET_REFCNT(one, Py_REFCNT(one) + ones);
  Py_SET_REFCNT(zero, Py_REFCNT(zero) + zeros);
  return made;
}

// The rows of the last request, when nobody but this exchange holds the request any more (the
// queue's `put` kept no reference to it or to any of its lists): they are refilled instead of
// made anew, which spares allocating and freeing 2,000 list slots per request.
PyObject* reusable_rows(const Ref& message) {
  if (!message || Py_REFCNT(message.get()) != 1) return nullptr;
  PyObject* rows = PyTuple_GET_ITEM(message.get(), 1);
  if (Py_REFCNT(rows) != 1 || PyList_GET_SIZE(rows) != static_cast<Py_ssize_t>(kPlanes)) return nullptr;
  for (std::size_t q = 0; q < kPlanes; ++q) {
    PyObject* row = PyList_GET_ITEM(rows, static_cast<Py_ssize_t>(q));
    if (!PyList_CheckExact(row) || Py_REFCNT(row) != 1 || PyList_GET_SIZE(row) != static_cast<Py_ssize_t>(kCells)) {
      return nullptr;
    }
  }
  return rows;
}

}  // namespace

Ref QueueExchange::request(const Planes& planes) {
  PyObject* rows = reusable_rows(message_);
  if (rows == nullptr) {
    message_ = Ref();
    Ref fresh = Ref::steal(PyList_New(kPlanes));
    if (!fresh) return {};
    for (std::size_t q = 0; q < kPlanes; ++q) {
      PyObject* row = PyList_New(kCells);  // empty slots until filled below
      if (row == nullptr) return {};
      PyList_SET_ITEM(fresh.get(), static_cast<Py_ssize_t>(q), row);
    }
    message_ = Ref::steal(PyTuple_Pack(2, id_.get(), fresh.get()));
    if (!message_) return {};
    rows = fresh.get();
  }
  bool made = true;
  for (std::size_t q = 0; q < kPlanes; ++q) {
    made &= fill_row(PyList_GET_ITEM(rows, static_cast<Py_ssize_t>(q)), planes.data() + q * kCells, zero_.get(),
                     one_.get());
  }
  if (!made) {
    message_ = Ref();  // its lists have empty slots
    return {};
  }
  return message_;
}

std::expected<void, EvalError> QueueExchange::exchange(const Planes& planes, Reply& reply) {
  // Declared first, so every reference below is released before the lock is.
  const InterpreterLocked locked;
  // A long search is where the interpreter would otherwise not see a Ctrl-C for seconds.
  if (PyErr_CheckSignals() < 0) throw Interrupted{Error::fetch()};
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
