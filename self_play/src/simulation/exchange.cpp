#include "exchange.hpp"

#include <algorithm>
#include <cstring>
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
    Py_ssize_t i = 0;
    // Exact floats run no code when read, so nothing can change the sequence meanwhile.
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
    PyObject* const* items = PySequence_Fast_ITEMS(fast.get());
    const Py_ssize_t stored = std::min(size, static_cast<Py_ssize_t>(out.size()));
    for (; i < stored && PyFloat_CheckExact(items[i]); ++i) out[i] = static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
    len = static_cast<std::size_t>(i);
    for (; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
      // A __float__ may change the sequence: the size is read anew and the item held meanwhile.
      const Ref held = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
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

QueueExchange::QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id)
    : queue_(queue),
      pipe_(pipe),
      id_(Ref::steal(PyLong_FromLong(id))),
      zero_(Ref::steal(PyFloat_FromDouble(0.0))),
      one_(Ref::steal(PyFloat_FromDouble(1.0))),
      put_(Ref::steal(PyUnicode_InternFromString("put"))),
      recv_(Ref::steal(PyUnicode_InternFromString("recv"))) {}

namespace {

// The careful way, for rows that hold or get other objects: a float that is neither 0.0 nor 1.0.
bool fill_row_slowly(PyObject** items, const float* plane, PyObject* zero, PyObject* one) {
  bool made = true;
  for (std::size_t c = 0; c < kCells; ++c) {
    PyObject* old = items[c];
    const float v = plane[c];
    if (v == 1.0f || v == 0.0f) {
      items[c] = Py_NewRef(v == 1.0f ? one : zero);
    } else {
      items[c] = PyFloat_FromDouble(v);
      made &= items[c] != nullptr;
    }
    Py_XDECREF(old);
  }
  return made;
}

}  // namespace

bool QueueExchange::fill_row(PyObject* row, std::size_t q, const float* plane) {
  PyObject** items = reinterpret_cast<PyListObject*>(row)->ob_item;
  PyObject* const shared[2] = {zero_.get(), one_.get()};
  auto& written = written_[q];
  float* last = last_planes_.data() + q * kCells;
  // The row still holds exactly what this object wrote last, and that was only the two shared
  // floats: then only the cells that changed since are written, and the references the row
  // holds move between the two floats in bulk.
  if (written_clean_[q] && std::memcmp(items, written.data(), sizeof written) == 0) {
    constexpr std::size_t kBlock = 8;
    static_assert(kCells % kBlock == 0);
    Py_ssize_t more_ones = 0;
    bool binary = true;
    for (std::size_t c = 0; c < kCells; c += kBlock) {
      if (std::memcmp(plane + c, last + c, kBlock * sizeof(float)) == 0) continue;
      for (std::size_t k = c; k < c + kBlock; ++k) {
        const bool one = plane[k] == 1.0f;
        binary &= one || plane[k] == 0.0f;
        more_ones += static_cast<Py_ssize_t>(one) - static_cast<Py_ssize_t>(last[k] == 1.0f);
        items[k] = written[k] = shared[one];
        last[k] = plane[k];
      }
    }
    Py_SET_REFCNT(shared[1], Py_REFCNT(shared[1]) + more_ones);
    Py_SET_REFCNT(shared[0], Py_REFCNT(shared[0]) - more_ones);
    if (binary) return true;
  }
  // Anything else (a row changed by someone else, a value other than 0.0 or 1.0) the careful way.
  const bool made = fill_row_slowly(items, plane, shared[0], shared[1]);
  std::memcpy(written.data(), items, sizeof written);
  std::memcpy(last, plane, kCells * sizeof(float));
  written_clean_[q] = made && std::all_of(plane, plane + kCells, [](float v) { return v == 0.0f || v == 1.0f; });
  return made;
}

namespace {

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
      PyObject* row = PyList_New(kCells);
      if (row == nullptr) return {};
      // Zeros at first, so that every row is ready for the quick refill.
      PyObject** items = reinterpret_cast<PyListObject*>(row)->ob_item;
      std::fill_n(items, kCells, zero_.get());
      Py_SET_REFCNT(zero_.get(), Py_REFCNT(zero_.get()) + static_cast<Py_ssize_t>(kCells));
      std::memcpy(written_[q].data(), items, sizeof written_[q]);
      std::fill_n(last_planes_.data() + q * kCells, kCells, 0.0f);
      written_clean_[q] = true;
      PyList_SET_ITEM(fresh.get(), static_cast<Py_ssize_t>(q), row);
    }
    message_ = Ref::steal(PyTuple_Pack(2, id_.get(), fresh.get()));
    if (!message_) return {};
    rows = fresh.get();
  }
  bool made = true;
  for (std::size_t q = 0; q < kPlanes; ++q) {
    made &= fill_row(PyList_GET_ITEM(rows, static_cast<Py_ssize_t>(q)), q, planes.data() + q * kCells);
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
