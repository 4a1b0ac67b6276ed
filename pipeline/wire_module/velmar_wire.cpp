// velmar_wire: the hot ends of the exchange between the workers and the inference service.
//
// `RequestSender` and `ReplyPipe` are the `inference_queue` and `pipe` objects a worker hands to
// generate_game_data; `RequestReader` reads the batches of frames in the service and
// `ReplyWriter` sends a whole batch of replies from it. They speak the frame format of
// velmar_wire.h, whose Python functions in velmar_pipeline.selfplay.wire stay the reference these
// are tested against byte for byte. Every wait and every system call runs with the interpreter
// lock released, so the other threads of a worker keep searching meanwhile.
//
// The module also exports the C interface of velmar_wire.h in a capsule: velmar_self_play packs
// its frames and reads its replies through it, without the interpreter lock and without any
// interpreter object per request. The endpoints' own put and recv and that interface share one
// core per direction (send_frame, receive_reply) and one place where outcomes become exceptions
// (raise_outcome), so both ways fail alike.
//
// Only the interpreter's public C API is used.

#define PY_SSIZE_T_CLEAN
#include "velmar_wire.h"

#include <Python.h>
#include <poll.h>
#include <structmember.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace velmar::wire {
namespace {

static_assert(std::endian::native == std::endian::little, "frames hold little-endian numbers, read in place");
static_assert(sizeof(float) == 4);

constexpr std::size_t kIdBytes = VELMAR_WIRE_ID_BYTES;
constexpr std::size_t kCells = VELMAR_WIRE_CELLS;
constexpr std::size_t kPlanes = VELMAR_WIRE_PLANES;
constexpr std::size_t kPlayers = VELMAR_WIRE_PLAYERS;
constexpr std::size_t kBits = VELMAR_WIRE_BITS;
constexpr std::size_t kFrameBytes = VELMAR_WIRE_FRAME_BYTES;
constexpr std::size_t kReplyBytes = VELMAR_WIRE_REPLY_BYTES;
constexpr std::size_t kHeaderBytes = VELMAR_WIRE_HEADER_BYTES;
constexpr std::size_t kMessageBytes = VELMAR_WIRE_MESSAGE_BYTES;
static_assert(kBits % 8 == 0);
// Both fit PIPE_BUF, so a frame and a message are each written whole by one system call.
static_assert(kMessageBytes <= PIPE_BUF && kFrameBytes <= PIPE_BUF);

using Frame = std::array<unsigned char, kFrameBytes>;

PyObject* planes_not_binary = nullptr;
PyObject* service_gone = nullptr;
PyObject* run_stopped = nullptr;
PyObject* misrouted_reply = nullptr;

// Owning handle of one interpreter reference (this module's own: it borrows nothing from the
// engine's sources).
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  Ref(const Ref& other) : object_(Py_XNewRef(other.object_)) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// --- small helpers ----------------------------------------------------------------------------

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The pending exception, normalised, as an object (the error indicator is cleared).
Ref fetch_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

// Raises `exception` (an instance), keeping it in `*slot` too, as the endpoints' `failure`.
void raise_and_keep(PyObject** slot, Ref exception) {
  if (!exception) return;
  Py_XSETREF(*slot, Ref(exception).release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

Ref make_exception(PyObject* type, PyObject* message) {
  if (message == nullptr) return {};
  Ref text = Ref::steal(message);
  return Ref::steal(PyObject_CallOneArg(type, text.get()));
}

velmar_wire_outcome outcome(int code, int error = 0, std::int64_t detail = 0) {
  return {code, error, detail};
}

// A system call's failure: SIGNAL for EINTR, else `code` with errno.
int failed(int code, velmar_wire_outcome* out) {
  *out = errno == EINTR ? outcome(VELMAR_WIRE_SIGNAL) : outcome(code, errno);
  return out->code;
}

// Runs `call` (returning a velmar_wire_code, storing its outcome) without the interpreter lock,
// retrying after signals once their handlers have run; false with the exception set when a
// handler raised.
template <class Call>
bool unlocked(Call call, velmar_wire_outcome& out) {
  for (;;) {
    PyThreadState* state = PyEval_SaveThread();
    const int code = call(&out);
    PyEval_RestoreThread(state);
    if (code != VELMAR_WIRE_SIGNAL) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// What a type of this module is made of; the type objects themselves are completed at import.
struct TypeParts {
  const char* name;
  Py_ssize_t size;
  unsigned long flags;
  const char* doc;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
  PyMethodDef* methods;
  PyMemberDef* members;
  PyGetSetDef* getset;
  initproc init;
};

// The head macro cannot be followed by designated initialisers, so the rest is set in add_type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject sender_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject receiver_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject reader_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject writer_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// --- requests ---------------------------------------------------------------------------------

bool planes_shape_error(const char* detail, Py_ssize_t count) {
  PyErr_Format(PyExc_ValueError, "planes must be %zu x %zu values (%s %zd)", kPlanes, kCells, detail, count);
  return false;
}

// One row of 400 values into `values`; false with an exception set when it is no such row.
bool read_row(PyObject* row, float* values, bool& binary) {
  Ref fast = Ref::steal(PySequence_Fast(row, "a plane must be a sequence of values"));
  if (!fast) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  if (size != static_cast<Py_ssize_t>(kCells)) return planes_shape_error("a plane of", size);
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  for (std::size_t c = 0; c < kCells; ++c) {
    PyObject* item = items[c];
    const double value = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
      Ref cause = fetch_exception();
      PyErr_Format(PyExc_ValueError, "planes must be %zu x %zu values (%S)", kPlanes, kCells, cause.get());
      return false;
    }
    binary &= value == 0.0 || value == 1.0;
    // Only exact 0.0 and 1.0 travel; anything else is refused below before a byte is written.
    values[c] = value == 1.0 ? 1.0f : 0.0f;
  }
  return true;
}

bool pack_request(PyObject* request, Frame& frame) {
  Ref pair = Ref::steal(PySequence_Fast(request, "a request must be (id, planes)"));
  if (!pair) return false;
  if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "a request must be (id, planes)");
    return false;
  }
  PyObject* id_object = PySequence_Fast_GET_ITEM(pair.get(), 0);
  int overflow = 0;
  const long long id = PyLong_AsLongLongAndOverflow(id_object, &overflow);
  if (id == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || id < INT32_MIN || id > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "a request id must be a signed 32-bit integer");
    return false;
  }
  velmar_wire_put_le32(frame.data(), static_cast<std::int32_t>(id));

  Ref planes =
      Ref::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(pair.get(), 1), "planes must be a sequence"));
  if (!planes) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(planes.get());
  if (count != static_cast<Py_ssize_t>(kPlanes)) return planes_shape_error("got", count);
  std::array<float, kBits> values;
  for (std::size_t p = 0; p < kPlanes; ++p) {
    bool binary = true;
    if (!read_row(PySequence_Fast_GET_ITEM(planes.get(), static_cast<Py_ssize_t>(p)),
                  values.data() + p * kCells, binary)) {
      return false;
    }
    if (!binary) {  // refused plane by plane, before a later plane is read
      PyErr_SetString(planes_not_binary, "planes must hold only 0.0 and 1.0");
      return false;
    }
  }
  velmar_wire_pack_bits(values.data(), frame.data() + kIdBytes);
  return true;
}

struct Sender {
  PyObject_HEAD int fd;
  PyObject* failure;
};

// The C interface's send_frame and the core of put: one write of one whole frame.
int send_frame(PyObject* endpoint, const unsigned char* frame, velmar_wire_outcome* out) {
  const int fd = reinterpret_cast<Sender*>(endpoint)->fd;
  const ssize_t written = ::write(fd, frame, kFrameBytes);
  if (written < 0) return failed(VELMAR_WIRE_WRITE_FAILED, out);
  if (static_cast<std::size_t>(written) != kFrameBytes) {
    *out = outcome(VELMAR_WIRE_WRITE_SHORT, 0, written);
    return out->code;
  }
  *out = outcome(VELMAR_WIRE_OK);
  return VELMAR_WIRE_OK;
}

PyObject* raise_sender_outcome(Sender* self, const velmar_wire_outcome& out) {
  switch (out.code) {
    case VELMAR_WIRE_WRITE_FAILED:
      errno = out.error;
      PyErr_SetFromErrno(PyExc_OSError);  // EPIPE: the service's end is closed
      raise_and_keep(&self->failure, fetch_exception());
      return nullptr;
    case VELMAR_WIRE_WRITE_SHORT:
      PyErr_Format(PyExc_OSError, "a request frame was cut short (%zd of %zu bytes)",
                   static_cast<Py_ssize_t>(out.detail), kFrameBytes);
      raise_and_keep(&self->failure, fetch_exception());
      return nullptr;
    case VELMAR_WIRE_NOT_BINARY:
      PyErr_SetString(planes_not_binary, "planes must hold only 0.0 and 1.0");
      return nullptr;
    default:
      PyErr_Format(PyExc_SystemError, "velmar_wire: no request outcome %d", out.code);
      return nullptr;
  }
}

int sender_init(Sender* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"fd", nullptr};
  int fd = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i", const_cast<char**>(names), &fd)) return -1;
  self->fd = fd;
  Py_XSETREF(self->failure, Py_NewRef(Py_None));
  return 0;
}

PyObject* sender_put(Sender* self, PyObject* request) {
  Frame frame;
  if (!pack_request(request, frame)) return nullptr;
  velmar_wire_outcome out{};
  PyObject* endpoint = reinterpret_cast<PyObject*>(self);
  if (!unlocked([&](velmar_wire_outcome* o) { return send_frame(endpoint, frame.data(), o); }, out))
    return nullptr;
  if (out.code != VELMAR_WIRE_OK) return raise_sender_outcome(self, out);
  Py_RETURN_NONE;
}

int sender_traverse(Sender* self, visitproc visit, void* arg) {
  Py_VISIT(self->failure);
  return 0;
}

int sender_clear(Sender* self) {
  Py_CLEAR(self->failure);
  return 0;
}

void sender_dealloc(Sender* self) {
  PyObject_GC_UnTrack(self);
  sender_clear(self);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyMethodDef sender_methods[] = {
    {"put", reinterpret_cast<PyCFunction>(sender_put), METH_O,
     "put(request)\n--\n\nWrites the frame of request (id, 5 planes of 400 values, each 0.0 or 1.0)."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef sender_members[] = {
    {"fd", T_INT, offsetof(Sender, fd), READONLY, "the write end of the shared request pipe"},
    {"failure", T_OBJECT, offsetof(Sender, failure), 0, "the error of the last failed write, else None"},
    {nullptr, 0, 0, 0, nullptr}};

constexpr const char* sender_doc =
    "RequestSender(fd)\n--\n\nThe inference_queue handed to the engine: put writes one request frame to the "
    "shared request\npipe (one write, never torn). failure keeps the error of a failed write. The engine "
    "writes the\nframes of an object of exactly this type itself (velmar_wire.h), keeping failure alike.";

const TypeParts sender_parts = {"velmar_wire.RequestSender",
                                sizeof(Sender),
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                                sender_doc,
                                reinterpret_cast<destructor>(sender_dealloc),
                                reinterpret_cast<traverseproc>(sender_traverse),
                                reinterpret_cast<inquiry>(sender_clear),
                                sender_methods,
                                sender_members,
                                nullptr,
                                reinterpret_cast<initproc>(sender_init)};

// --- replies ----------------------------------------------------------------------------------

struct Receiver {
  PyObject_HEAD PyObject* conn;
  PyObject* expected_id;
  PyObject* failure;
  Py_ssize_t replies;
  double timeout;
  int fd;
  std::size_t have;          // bytes buffered in `buffer`
  std::size_t skip_left;     // bytes of a message that is no reply still to drop
  std::int32_t skip_length;  // that message's length header
  std::array<unsigned char, kMessageBytes> buffer;
};

// Waits until the pipe is readable or the deadline passes: OK, TIMED_OUT or a failure.
int wait_readable(int fd, std::int64_t deadline_ns, velmar_wire_outcome* out) {
  for (;;) {
    const std::int64_t left_ns = deadline_ns - monotonic_ns();
    if (left_ns <= 0) {
      *out = outcome(VELMAR_WIRE_TIMED_OUT);
      return out->code;
    }
    // Whole milliseconds, rounded up, at most a minute per wait.
    const int timeout_ms = static_cast<int>(std::min<std::int64_t>((left_ns + 999'999) / 1'000'000, 60'000));
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready < 0) return failed(VELMAR_WIRE_READ_FAILED, out);
    if (ready > 0) return VELMAR_WIRE_OK;
  }
}

// Buffers bytes until `count` are there. `direct`, when given and nothing is buffered yet, is
// where a whole reply's numbers go straight from the pipe (one readv); whatever else arrives that
// way is moved into the buffer, so the stream stays in step.
struct Direct {
  float* logits;
  float* values;
  bool filled = false;  // the whole reply went straight to logits and values
};

int fill(Receiver* self, std::size_t count, std::int64_t deadline_ns, Direct* direct,
         velmar_wire_outcome* out) {
  while (self->have < count) {
    if (const int code = wait_readable(self->fd, deadline_ns, out); code != VELMAR_WIRE_OK) return code;
    ssize_t got;
    if (direct != nullptr && self->have == 0) {
      std::array<iovec, 3> parts = {iovec{self->buffer.data(), VELMAR_WIRE_LOGITS_AT},
                                    iovec{direct->logits, 4 * kCells}, iovec{direct->values, 4 * kPlayers}};
      got = ::readv(self->fd, parts.data(), static_cast<int>(parts.size()));
      if (got == static_cast<ssize_t>(kMessageBytes) &&
          velmar_wire_get_be32(self->buffer.data()) == static_cast<std::int32_t>(kReplyBytes)) {
        direct->filled = true;
        return VELMAR_WIRE_OK;  // nothing buffered: `have` stays 0
      }
      if (got > static_cast<ssize_t>(VELMAR_WIRE_LOGITS_AT)) {  // not one whole reply: into the buffer
        const std::size_t past = static_cast<std::size_t>(got) - VELMAR_WIRE_LOGITS_AT;
        const std::size_t in_logits = std::min(past, 4 * kCells);
        std::memcpy(self->buffer.data() + VELMAR_WIRE_LOGITS_AT, direct->logits, in_logits);
        std::memcpy(self->buffer.data() + VELMAR_WIRE_VALUES_AT, direct->values, past - in_logits);
      }
    } else {
      got = ::read(self->fd, self->buffer.data() + self->have, self->buffer.size() - self->have);
    }
    if (got < 0) {
      if (errno == EAGAIN) continue;  // a non-blocking descriptor that poll called readable too soon
      return failed(VELMAR_WIRE_READ_FAILED, out);
    }
    if (got == 0) {
      *out = outcome(VELMAR_WIRE_CLOSED);
      return out->code;
    }
    self->have += static_cast<std::size_t>(got);
  }
  return VELMAR_WIRE_OK;
}

void consume(Receiver* self, std::size_t count) {
  std::memmove(self->buffer.data(), self->buffer.data() + count, self->have - count);
  self->have -= count;
}

// Drops the rest of a message that is not a reply, so that the next one starts in step; then
// reports it.
int finish_skip(Receiver* self, std::int64_t deadline_ns, velmar_wire_outcome* out) {
  while (self->skip_left > 0) {
    if (self->have == 0) {
      if (const int code = fill(self, 1, deadline_ns, nullptr, out); code != VELMAR_WIRE_OK) return code;
    }
    const std::size_t dropped = std::min(self->skip_left, self->have);
    consume(self, dropped);
    self->skip_left -= dropped;
  }
  *out = outcome(VELMAR_WIRE_BAD_LENGTH, 0, self->skip_length);
  return out->code;
}

// The C interface's receive_reply and the core of recv.
int receive_reply(PyObject* endpoint, std::int64_t* deadline_ns, int check_id, std::int64_t expected,
                  float* logits, float* values, std::int32_t* id, velmar_wire_outcome* out) {
  auto* self = reinterpret_cast<Receiver*>(endpoint);
  if (*deadline_ns == 0) {
    *deadline_ns = monotonic_ns() + static_cast<std::int64_t>(std::min(self->timeout, 1e9) * 1e9);
  }
  if (self->skip_left > 0) return finish_skip(self, *deadline_ns, out);
  Direct direct{logits, values};
  if (const int code = fill(self, kHeaderBytes, *deadline_ns, &direct, out); code != VELMAR_WIRE_OK)
    return code;
  if (!direct.filled) {
    const std::int32_t length = velmar_wire_get_be32(self->buffer.data());
    if (length == 0) {
      consume(self, kHeaderBytes);
      *out = outcome(VELMAR_WIRE_STOPPED);
      return out->code;
    }
    if (length != static_cast<std::int32_t>(kReplyBytes)) {
      if (length < 0) {  // a length this side never sends; nothing after it can be trusted
        *out = outcome(VELMAR_WIRE_BAD_LENGTH, 0, length);
        return out->code;
      }
      self->skip_left = kHeaderBytes + static_cast<std::size_t>(length);
      self->skip_length = length;
      return finish_skip(self, *deadline_ns, out);
    }
    if (const int code = fill(self, kMessageBytes, *deadline_ns, &direct, out); code != VELMAR_WIRE_OK)
      return code;
  }
  *id = velmar_wire_get_le32(self->buffer.data() + kHeaderBytes);
  if (!direct.filled) {
    std::memcpy(logits, self->buffer.data() + VELMAR_WIRE_LOGITS_AT, 4 * kCells);
    std::memcpy(values, self->buffer.data() + VELMAR_WIRE_VALUES_AT, 4 * kPlayers);
    consume(self, kMessageBytes);
  }
  if (check_id != 0 && *id != expected) {
    *out = outcome(VELMAR_WIRE_MISROUTED, 0, *id);
    return out->code;
  }
  *out = outcome(VELMAR_WIRE_OK);
  return VELMAR_WIRE_OK;
}

PyObject* service_gone_error(Receiver* self, const char* text) {
  Ref cause;
  if (PyErr_Occurred()) cause = fetch_exception();
  Ref error = make_exception(service_gone, PyUnicode_FromString(text));
  if (error && cause) PyException_SetCause(error.get(), cause.release());
  raise_and_keep(&self->failure, std::move(error));
  return nullptr;
}

PyObject* raise_receiver_outcome(Receiver* self, const velmar_wire_outcome& out) {
  switch (out.code) {
    case VELMAR_WIRE_READ_FAILED:
      errno = out.error;
      PyErr_SetFromErrno(PyExc_OSError);
      return service_gone_error(self, "the inference service is gone (its end of the reply pipe closed)");
    case VELMAR_WIRE_CLOSED:
      return service_gone_error(self, "the inference service is gone (its end of the reply pipe closed)");
    case VELMAR_WIRE_TIMED_OUT: {
      char* seconds = PyOS_double_to_string(self->timeout, 'g', 6, 0, nullptr);
      if (seconds == nullptr) return nullptr;
      PyObject* text = PyUnicode_FromFormat("no reply from the inference service within %s s", seconds);
      PyMem_Free(seconds);
      raise_and_keep(&self->failure, make_exception(service_gone, text));
      return nullptr;
    }
    case VELMAR_WIRE_STOPPED:
      raise_and_keep(&self->failure,
                     make_exception(run_stopped, PyUnicode_FromString("the run is stopping")));
      return nullptr;
    case VELMAR_WIRE_BAD_LENGTH:
      if (out.detail < 0) {
        PyErr_Format(PyExc_ValueError, "a reply must be %zu bytes, got a length header of %d", kReplyBytes,
                     static_cast<int>(out.detail));
      } else {
        PyErr_Format(PyExc_ValueError, "a reply must be %zu bytes, got %d", kReplyBytes,
                     static_cast<int>(out.detail));
      }
      return nullptr;
    case VELMAR_WIRE_MISROUTED:
      raise_and_keep(&self->failure,
                     make_exception(misrouted_reply,
                                    PyUnicode_FromFormat("reply for game id %d reached game id %R",
                                                         static_cast<int>(out.detail), self->expected_id)));
      return nullptr;
    default:
      PyErr_Format(PyExc_SystemError, "velmar_wire: no reply outcome %d", out.code);
      return nullptr;
  }
}

Ref float_list(const float* numbers, std::size_t count) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* number = PyFloat_FromDouble(numbers[i]);
    if (number == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list;
}

PyObject* receiver_recv(Receiver* self, PyObject*) {
  std::int64_t deadline = 0;
  std::array<float, kCells> logits;
  std::array<float, kPlayers> values;
  std::int32_t id = 0;
  velmar_wire_outcome out{};
  PyObject* endpoint = reinterpret_cast<PyObject*>(self);
  const auto receive = [&](velmar_wire_outcome* o) {
    return receive_reply(endpoint, &deadline, 0, 0, logits.data(), values.data(), &id, o);
  };
  if (!unlocked(receive, out)) return nullptr;
  if (out.code != VELMAR_WIRE_OK) return raise_receiver_outcome(self, out);
  Ref id_object = Ref::steal(PyLong_FromLong(id));
  if (!id_object) return nullptr;
  const int same = PyObject_RichCompareBool(id_object.get(), self->expected_id, Py_EQ);
  if (same < 0) return nullptr;
  if (same == 0) return raise_receiver_outcome(self, outcome(VELMAR_WIRE_MISROUTED, 0, id));
  Ref logit_list = float_list(logits.data(), kCells);
  Ref value_list = logit_list ? float_list(values.data(), kPlayers) : Ref();
  if (!value_list) return nullptr;
  PyObject* reply = PyTuple_Pack(3, logit_list.get(), value_list.get(), id_object.get());
  if (reply != nullptr) ++self->replies;
  return reply;
}

int receiver_init(Receiver* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"conn", "timeout", nullptr};
  PyObject* conn = nullptr;
  double timeout = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Od", const_cast<char**>(names), &conn, &timeout)) return -1;
  if (!(timeout > 0.0)) {
    PyErr_SetString(PyExc_ValueError, "the reply timeout must be positive");
    return -1;
  }
  const int fd = PyObject_AsFileDescriptor(conn);
  if (fd < 0) return -1;
  Py_XSETREF(self->conn, Py_NewRef(conn));
  Py_XSETREF(self->expected_id, Py_NewRef(Py_None));
  Py_XSETREF(self->failure, Py_NewRef(Py_None));
  self->fd = fd;
  self->timeout = timeout;
  self->replies = 0;
  self->have = 0;
  self->skip_left = 0;
  self->skip_length = 0;
  return 0;
}

int receiver_traverse(Receiver* self, visitproc visit, void* arg) {
  Py_VISIT(self->conn);
  Py_VISIT(self->expected_id);
  Py_VISIT(self->failure);
  return 0;
}

int receiver_clear(Receiver* self) {
  Py_CLEAR(self->conn);
  Py_CLEAR(self->expected_id);
  Py_CLEAR(self->failure);
  return 0;
}

void receiver_dealloc(Receiver* self) {
  PyObject_GC_UnTrack(self);
  receiver_clear(self);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyMethodDef receiver_methods[] = {
    {"recv", reinterpret_cast<PyCFunction>(receiver_recv), METH_NOARGS,
     "recv()\n--\n\nWaits for this slot's next reply and returns (logits, values, id)."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef receiver_members[] = {
    {"conn", T_OBJECT, offsetof(Receiver, conn), READONLY, "the reply connection (kept open by this object)"},
    {"fd", T_INT, offsetof(Receiver, fd), READONLY, "its file descriptor"},
    {"timeout", T_DOUBLE, offsetof(Receiver, timeout), READONLY, "seconds to wait for a reply"},
    {"expected_id", T_OBJECT, offsetof(Receiver, expected_id), 0, "the game id every reply must carry"},
    {"replies", T_PYSSIZET, offsetof(Receiver, replies), 0, "replies received"},
    {"failure", T_OBJECT, offsetof(Receiver, failure), 0, "why the last recv failed, else None"},
    {nullptr, 0, 0, 0, nullptr}};

constexpr const char* receiver_doc =
    "ReplyPipe(conn, timeout)\n--\n\nThe pipe handed to the engine: recv waits (without the interpreter "
    "lock) "
    "for this slot's\nnext reply on conn and returns (logits, values, id). It raises ServiceGone when the\n"
    "service's end closes or no reply comes within timeout seconds, RunStopped on the\nempty message, "
    "MisroutedReply when the id is not expected_id; failure keeps that error. The\nengine reads the replies "
    "of an object of exactly this type itself (velmar_wire.h), counting\nthem in replies and keeping failure "
    "alike.";

const TypeParts receiver_parts = {"velmar_wire.ReplyPipe",
                                  sizeof(Receiver),
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                                  receiver_doc,
                                  reinterpret_cast<destructor>(receiver_dealloc),
                                  reinterpret_cast<traverseproc>(receiver_traverse),
                                  reinterpret_cast<inquiry>(receiver_clear),
                                  receiver_methods,
                                  receiver_members,
                                  nullptr,
                                  reinterpret_cast<initproc>(receiver_init)};

// --- the C interface --------------------------------------------------------------------------

int api_expected_id(PyObject* endpoint, std::int64_t* id) {
  PyObject* expected = reinterpret_cast<Receiver*>(endpoint)->expected_id;
  if (expected == nullptr || !PyLong_CheckExact(expected)) return 0;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(expected, &overflow);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  // Beyond 64 bits no int32 id matches either.
  *id = overflow != 0 ? INT64_MAX : static_cast<std::int64_t>(value);
  return 1;
}

void api_count_replies(PyObject* endpoint, std::int64_t count) {
  reinterpret_cast<Receiver*>(endpoint)->replies += static_cast<Py_ssize_t>(count);
}

PyObject* api_raise_outcome(PyObject* endpoint, const velmar_wire_outcome* out) {
  if (PyObject_TypeCheck(endpoint, &sender_type))
    return raise_sender_outcome(reinterpret_cast<Sender*>(endpoint), *out);
  if (PyObject_TypeCheck(endpoint, &receiver_type)) {
    return raise_receiver_outcome(reinterpret_cast<Receiver*>(endpoint), *out);
  }
  PyErr_SetString(PyExc_TypeError, "velmar_wire: an outcome of an object that is no endpoint");
  return nullptr;
}

velmar_wire_api c_api = {
    VELMAR_WIRE_API_VERSION,
    sizeof(velmar_wire_api),
    kFrameBytes,
    kReplyBytes,
    kCells,
    kPlanes,
    kPlayers,
    &sender_type,
    &receiver_type,
    api_expected_id,
    api_count_replies,
    send_frame,
    receive_reply,
    api_raise_outcome,
};

// --- the service's side: reading frames -------------------------------------------------------

PyObject* decode_frames(const unsigned char* bytes, std::size_t count);

// Bytes read from the request pipe and not yet handed out: whole frames and the start of one.
struct Pending {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0, capacity = 0;

  void reserve(std::size_t bytes) {
    if (bytes <= capacity) return;
    auto grown = std::make_unique<unsigned char[]>(bytes);
    if (size > 0) std::memcpy(grown.get(), data.get(), size);
    data = std::move(grown);
    capacity = bytes;
  }
  void drop_front(std::size_t bytes) {
    if (bytes == 0) return;
    std::memmove(data.get(), data.get() + bytes, size - bytes);
    size -= bytes;
  }
};

struct Reader {
  PyObject_HEAD int fd;
  bool closed;  // every writer has closed its end
  Pending* pending;
};

int reader_init(Reader* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"fd", nullptr};
  int fd = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i", const_cast<char**>(names), &fd)) return -1;
  auto pending = std::make_unique<Pending>();
  delete self->pending;
  self->pending = pending.release();
  self->fd = fd;
  self->closed = false;
  return 0;
}

void reader_dealloc(Reader* self) {
  delete self->pending;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// Waits at most `timeout_ns` for the pipe, then takes what is there, up to `room` bytes: the
// number read, 0 when nothing came in time (or a signal came), -1 at end of file; -2 with errno
// on failure. Two system calls at most: poll, then one read of every byte waiting.
ssize_t read_some(int fd, std::int64_t timeout_ns, unsigned char* into, std::size_t room) {
  pollfd entry{fd, POLLIN, 0};
  const int timeout_ms =
      static_cast<int>(std::clamp<std::int64_t>((timeout_ns + 999'999) / 1'000'000, 0, 60'000));
  const int ready = ::poll(&entry, 1, timeout_ms);
  if (ready < 0) return errno == EINTR ? 0 : -2;
  if (ready == 0) return 0;
  const ssize_t got = ::read(fd, into, room);
  if (got < 0) return errno == EINTR || errno == EAGAIN ? 0 : -2;
  return got == 0 ? -1 : got;
}

// Waits and reads as read() and read_batch() do; the number of whole frames now pending (at most
// `most`), or -1 with an exception set.
Py_ssize_t reader_fill(Reader* self, PyObject* const* args, Py_ssize_t nargs, const char* name) {
  if (self->pending == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "RequestReader was not initialised");
    return -1;
  }
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "%s() takes most, first_timeout and gather_timeout (%zd given)", name,
                 nargs);
    return -1;
  }
  const Py_ssize_t most = PyLong_AsSsize_t(args[0]);
  if (most == -1 && PyErr_Occurred()) return -1;
  const double first = PyFloat_AsDouble(args[1]);
  if (first == -1.0 && PyErr_Occurred()) return -1;
  const double gather = PyFloat_AsDouble(args[2]);
  if (gather == -1.0 && PyErr_Occurred()) return -1;
  if (most < 1) {
    PyErr_Format(PyExc_ValueError, "%s() needs room for at least one frame", name);
    return -1;
  }
  const std::size_t full = static_cast<std::size_t>(most) * kFrameBytes;
  Pending& pending = *self->pending;
  pending.reserve(full);
  const int fd = self->fd;
  int error = 0;
  bool closed = self->closed;
  const auto take = [&](std::int64_t timeout_ns) {
    if (closed || pending.size >= full) return;
    const ssize_t got = read_some(fd, timeout_ns, pending.data.get() + pending.size, full - pending.size);
    if (got > 0) pending.size += static_cast<std::size_t>(got);
    if (got == -1) closed = true;
    if (got == -2) error = errno;
  };
  const auto seconds_ns = [](double seconds) {
    return static_cast<std::int64_t>(std::clamp(seconds, 0.0, 1e6) * 1e9);
  };
  // One stretch without the lock: the first wait, then the gathering, as the Python reference.
  PyThreadState* state = PyEval_SaveThread();
  if (pending.size < kFrameBytes) take(seconds_ns(first));
  if (error == 0 && pending.size >= kFrameBytes && gather > 0) {
    const std::int64_t deadline = monotonic_ns() + seconds_ns(gather);
    while (error == 0 && pending.size < full && !closed) {
      const std::int64_t remaining = deadline - monotonic_ns();
      if (remaining <= 0) {
        take(0);
        break;
      }
      take(remaining);
    }
  }
  PyEval_RestoreThread(state);
  self->closed = closed;
  if (error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  return static_cast<Py_ssize_t>(std::min(pending.size / kFrameBytes, static_cast<std::size_t>(most)));
}

PyObject* reader_read(Reader* self, PyObject* const* args, Py_ssize_t nargs) {
  const Py_ssize_t count = reader_fill(self, args, nargs, "read");
  if (count < 0) return nullptr;
  const std::size_t whole = static_cast<std::size_t>(count) * kFrameBytes;
  PyObject* frames = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->pending->data.get()),
                                               static_cast<Py_ssize_t>(whole));
  if (frames != nullptr) self->pending->drop_front(whole);
  return frames;
}

// The service's hot path: the frames decoded straight from the buffer they were read into.
PyObject* reader_read_batch(Reader* self, PyObject* const* args, Py_ssize_t nargs) {
  const Py_ssize_t count = reader_fill(self, args, nargs, "read_batch");
  if (count < 0) return nullptr;
  if (count == 0) Py_RETURN_NONE;
  PyObject* batch = decode_frames(self->pending->data.get(), static_cast<std::size_t>(count));
  if (batch != nullptr) self->pending->drop_front(static_cast<std::size_t>(count) * kFrameBytes);
  return batch;
}

PyObject* reader_get_closed(Reader* self, void*) { return PyBool_FromLong(self->closed); }

PyObject* reader_get_pending(Reader* self, void*) {
  return PyLong_FromSize_t(self->pending == nullptr ? 0 : self->pending->size);
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read)), METH_FASTCALL,
     "read(most, first_timeout, gather_timeout)\n--\n\nUp to most whole frames, as bytes: waits "
     "first_timeout "
     "seconds for the first, then gathers\nmore until most are in or gather_timeout has passed since. One "
     "read "
     "takes every frame waiting\n(up to most). b\"\" when none came; a frame's part stays pending."},
    {"read_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read_batch)),
     METH_FASTCALL,
     "read_batch(most, first_timeout, gather_timeout)\n--\n\nThe frames read() would return, decoded as "
     "unpack() decodes them, straight from\nthe buffer they were read into: (ids, planes) bytearrays, or "
     "None "
     "when none came."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef reader_getset[] = {{"closed", reinterpret_cast<getter>(reader_get_closed), nullptr,
                                "every writer has closed its end", nullptr},
                               {"pending", reinterpret_cast<getter>(reader_get_pending), nullptr,
                                "bytes read but not handed out", nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* reader_doc =
    "RequestReader(fd)\n--\n\nThe service's end of the shared request pipe: reads whole frames in batches, "
    "waiting without\nthe interpreter lock.";

const TypeParts reader_parts = {"velmar_wire.RequestReader",
                                sizeof(Reader),
                                Py_TPFLAGS_DEFAULT,
                                reader_doc,
                                reinterpret_cast<destructor>(reader_dealloc),
                                nullptr,
                                nullptr,
                                reader_methods,
                                nullptr,
                                reader_getset,
                                reinterpret_cast<initproc>(reader_init)};

// --- the service's side: writing replies ------------------------------------------------------

struct Writer {
  PyObject_HEAD std::vector<int>* fds;  // by slot; -1 once the slot's worker is gone
  long stride;                          // game ids: slot * stride + game number
};

int writer_init(Writer* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"fds", "id_stride", nullptr};
  PyObject* fds = nullptr;
  long stride = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ol", const_cast<char**>(names), &fds, &stride)) return -1;
  if (stride <= 0) {
    PyErr_SetString(PyExc_ValueError, "id_stride must be positive");
    return -1;
  }
  Ref fast = Ref::steal(PySequence_Fast(fds, "fds must be a sequence of file descriptors"));
  if (!fast) return -1;
  auto table = std::make_unique<std::vector<int>>();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
    const long fd = PyLong_AsLong(PySequence_Fast_GET_ITEM(fast.get(), i));
    if (fd == -1 && PyErr_Occurred()) return -1;
    table->push_back(static_cast<int>(fd));
  }
  delete self->fds;
  self->fds = table.release();
  self->stride = stride;
  return 0;
}

void writer_dealloc(Writer* self) {
  delete self->fds;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// Sends one message, gathered from `parts`, to the slot owning `id` with one system call; a slot
// whose worker is gone is dropped for good. False (errno set) on any other failure.
bool send_message(Writer* self, std::int32_t id, const iovec* parts, int count) {
  if (id < 0 || id / self->stride >= static_cast<long>(self->fds->size()))
    return true;  // not an id of this run
  int& fd = (*self->fds)[static_cast<std::size_t>(id / self->stride)];
  if (fd < 0) return true;
  for (;;) {
    if (::writev(fd, parts, count) >= 0) return true;
    if (errno == EINTR) continue;  // the service ignores the stop signals; nothing to run here
    if (errno == EPIPE || errno == ECONNRESET) {
      fd = -1;  // the parent reports the worker's end
      return true;
    }
    return false;
  }
}

struct Buffer {
  Py_buffer view{};
  bool held = false;
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
  bool get(PyObject* object, std::size_t item_bytes) {
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    held = true;
    if (view.len % static_cast<Py_ssize_t>(item_bytes) != 0) {
      PyErr_Format(PyExc_ValueError, "a buffer of %zd bytes is no whole number of %zu-byte rows", view.len,
                   item_bytes);
      return false;
    }
    return true;
  }
  std::span<const unsigned char> bytes() const {
    return {static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len)};
  }
};

bool writer_ready(const Writer* self) {
  if (self->fds != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "ReplyWriter was not initialised");
  return false;
}

bool all_finite(std::span<const float> numbers) {
  bool finite = true;
  for (const float x : numbers) finite &= std::isfinite(x);
  return finite;
}

// The rows of a batch: ids int32 [B], logits float32 [B, 400], values float32 [B, 4].
struct Batch {
  Buffer ids, logits, values;
  std::size_t count = 0;
  std::span<const float> logit_numbers, value_numbers;

  bool get(PyObject* const* args) {
    if (!ids.get(args[0], kIdBytes) || !logits.get(args[1], 4 * kCells) ||
        !values.get(args[2], 4 * kPlayers)) {
      return false;
    }
    count = ids.bytes().size() / kIdBytes;
    if (logits.bytes().size() != count * 4 * kCells || values.bytes().size() != count * 4 * kPlayers) {
      PyErr_Format(PyExc_ValueError, "send() needs %zu rows of logits [%zu] and values [%zu] (float32)",
                   count, kCells, kPlayers);
      return false;
    }
    logit_numbers = {reinterpret_cast<const float*>(logits.bytes().data()), count * kCells};
    value_numbers = {reinterpret_cast<const float*>(values.bytes().data()), count * kPlayers};
    return true;
  }

  // Nothing of a batch is sent unless all of it can be: NaN or infinity would steer the search blindly.
  bool finite() const {
    for (const auto& [numbers, name] :
         {std::pair{logit_numbers, "logits"}, std::pair{value_numbers, "values"}}) {
      if (!all_finite(numbers)) {
        PyErr_Format(PyExc_ValueError, "the evaluator returned non-finite %s (NaN or infinity)", name);
        return false;
      }
    }
    return true;
  }

  std::int32_t id(std::size_t row) const { return velmar_wire_get_le32(ids.bytes().data() + row * kIdBytes); }
};

// Sends row by row without the interpreter lock, each reply one writev of its header and id, its
// logits in place and its values from `values_of(row, out)`.
template <class Values>
PyObject* send_rows(Writer* self, const Batch& batch, Values values_of) {
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (std::size_t row = 0; row < batch.count && ok; ++row) {
    std::array<unsigned char, VELMAR_WIRE_LOGITS_AT> head;
    velmar_wire_put_be32(head.data(), kReplyBytes);
    const std::int32_t id = batch.id(row);
    velmar_wire_put_le32(head.data() + kHeaderBytes, id);
    std::array<float, kPlayers> values;
    values_of(row, values.data());
    const std::array<iovec, 3> parts = {
        iovec{head.data(), head.size()},
        iovec{const_cast<float*>(batch.logit_numbers.data() + row * kCells), 4 * kCells},
        iovec{values.data(), 4 * kPlayers}};
    ok = send_message(self, id, parts.data(), static_cast<int>(parts.size()));
  }
  const int error = errno;
  PyEval_RestoreThread(state);
  errno = error;
  if (!ok) return PyErr_SetFromErrno(PyExc_OSError);
  Py_RETURN_NONE;
}

PyObject* writer_send(Writer* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!writer_ready(self)) return nullptr;
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "send() takes ids, logits and values (%zd given)", nargs);
    return nullptr;
  }
  Batch batch;
  if (!batch.get(args) || !batch.finite()) return nullptr;
  return send_rows(self, batch, [&](std::size_t row, float* out) {
    std::memcpy(out, batch.value_numbers.data() + row * kPlayers, 4 * kPlayers);
  });
}

// check_payoffs of velmar_pipeline.evaluators, fused into the copy: the first finite payoff
// outside [-slack, 1 + slack], in row order, compared in float32 as numpy compares a float32
// array with a Python float.
bool payoffs_in_range(std::span<const float> payoffs, double slack) {
  const float low = static_cast<float>(-slack);
  const float high = static_cast<float>(1.0 + slack);
  for (const float x : payoffs) {
    if (std::isfinite(x) && (x < low || x > high)) {
      char* text = PyOS_double_to_string(static_cast<double>(x), 'g', 6, 0, nullptr);
      if (text == nullptr) return false;
      PyErr_Format(
          PyExc_ValueError,
          "the evaluator returned values outside [0, 1] (e.g. %s): values are predicted payoffs, each "
          "player's share of the game's payoff",
          text);
      PyMem_Free(text);
      return false;
    }
  }
  return true;
}

PyObject* writer_send_payoffs(Writer* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!writer_ready(self)) return nullptr;
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError,
                 "send_payoffs() takes ids, logits, payoffs, value_offset and slack (%zd given)", nargs);
    return nullptr;
  }
  const double offset = PyFloat_AsDouble(args[3]);
  if (offset == -1.0 && PyErr_Occurred()) return nullptr;
  const double slack = PyFloat_AsDouble(args[4]);
  if (slack == -1.0 && PyErr_Occurred()) return nullptr;
  Batch batch;
  if (!batch.get(args) || !payoffs_in_range(batch.value_numbers, slack) || !batch.finite()) return nullptr;
  const float shift = static_cast<float>(offset);
  return send_rows(self, batch, [&](std::size_t row, float* out) {
    for (std::size_t k = 0; k < kPlayers; ++k) out[k] = batch.value_numbers[row * kPlayers + k] - shift;
  });
}

PyObject* writer_stop(Writer* self, PyObject* ids) {
  if (!writer_ready(self)) return nullptr;
  Buffer rows;
  if (!rows.get(ids, kIdBytes)) return nullptr;
  const auto bytes = rows.bytes();
  std::array<unsigned char, kHeaderBytes> empty{};
  const iovec part{empty.data(), empty.size()};
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (std::size_t at = 0; at < bytes.size() && ok; at += kIdBytes) {
    ok = send_message(self, velmar_wire_get_le32(bytes.data() + at), &part, 1);
  }
  const int error = errno;
  PyEval_RestoreThread(state);
  errno = error;
  if (!ok) return PyErr_SetFromErrno(PyExc_OSError);
  Py_RETURN_NONE;
}

PyMethodDef writer_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_send)), METH_FASTCALL,
     "send(ids, logits, values)\n--\n\nSends reply i (ids[i], logits[i], values[i]) to the reply pipe of the "
     "slot "
     "that owns ids[i].\nC-contiguous int32 [B], float32 [B, 400] and float32 [B, 4]. Refuses the whole "
     "batch "
     "with\nValueError when a number is NaN or infinite."},
    {"send_payoffs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_send_payoffs)),
     METH_FASTCALL,
     "send_payoffs(ids, logits, payoffs, value_offset, slack)\n--\n\nsend(ids, logits, payoffs - "
     "value_offset) "
     "in float32, after refusing the whole batch as\nevaluators.check_payoffs does when a finite payoff lies "
     "outside [-slack, 1 + slack]: the\nservice's checks and shift fused into the copy."},
    {"stop", reinterpret_cast<PyCFunction>(writer_stop), METH_O,
     "stop(ids)\n--\n\nSends the empty message (abandon the game) to the owner of every id (int32 buffer)."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char* writer_doc =
    "ReplyWriter(fds, id_stride)\n--\n\nThe service's ends of the reply pipes, by slot. A reply goes to slot "
    "id // id_stride;\nids of no slot are skipped, and so is a slot whose worker has gone (its pipe broke).";

const TypeParts writer_parts = {"velmar_wire.ReplyWriter",
                                sizeof(Writer),
                                Py_TPFLAGS_DEFAULT,
                                writer_doc,
                                reinterpret_cast<destructor>(writer_dealloc),
                                nullptr,
                                nullptr,
                                writer_methods,
                                nullptr,
                                nullptr,
                                reinterpret_cast<initproc>(writer_init)};

// `count` whole frames into ids (int32) and planes (float32, 0.0 or 1.0), the layout the
// evaluators read, as a tuple of two bytearrays.
PyObject* decode_frames(const unsigned char* bytes, std::size_t count) {
  Ref ids = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * kIdBytes)));
  Ref planes = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * kBits * 4)));
  if (!ids || !planes) return nullptr;
  static const auto spread = [] {
    std::array<std::array<float, 8>, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
      for (std::size_t bit = 0; bit < 8; ++bit) table[byte][bit] = (byte >> (7 - bit)) & 1 ? 1.0f : 0.0f;
    }
    return table;
  }();
  auto* id_out = PyByteArray_AS_STRING(ids.get());
  auto* plane_out = reinterpret_cast<float*>(PyByteArray_AS_STRING(planes.get()));
  for (std::size_t frame = 0; frame < count; ++frame) {
    const unsigned char* in = bytes + frame * kFrameBytes;
    std::memcpy(id_out + frame * kIdBytes, in, kIdBytes);
    for (std::size_t byte = 0; byte < kBits / 8; ++byte) {
      std::memcpy(plane_out + frame * kBits + byte * 8, spread[in[kIdBytes + byte]].data(),
                  8 * sizeof(float));
    }
  }
  return PyTuple_Pack(2, ids.get(), planes.get());
}

PyObject* unpack(PyObject*, PyObject* frames) {
  Buffer input;
  if (!input.get(frames, kFrameBytes)) return nullptr;
  return decode_frames(input.bytes().data(), input.bytes().size() / kFrameBytes);
}

PyMethodDef module_methods[] = {{"unpack", unpack, METH_O,
                                 "unpack(frames)\n--\n\nThe ids (int32) and the planes (float32, 5 x 400 per "
                                 "frame) of a run of whole request "
                                 "frames,\nas two bytearrays."},
                                {nullptr, nullptr, 0, nullptr}};

// --- the module -------------------------------------------------------------------------------

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmar_wire",
    "The exchange endpoints of the workers and the service in native code (see "
    "velmar_pipeline.selfplay.wire),\n"
    "and their C interface for velmar_self_play (velmar_wire.h, in the capsule _C_API).",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

bool add_exception(PyObject* module, PyObject*& slot, const char* name, PyObject* base, const char* doc) {
  slot = PyErr_NewExceptionWithDoc((std::string("velmar_wire.") + name).c_str(), doc, base, nullptr);
  return slot != nullptr && PyModule_AddObjectRef(module, name, slot) == 0;
}

bool add_type(PyObject* module, PyTypeObject& type, const TypeParts& parts) {
  type.tp_name = parts.name;
  type.tp_basicsize = parts.size;
  type.tp_flags = parts.flags;
  type.tp_doc = parts.doc;
  type.tp_dealloc = parts.dealloc;
  type.tp_traverse = parts.traverse;
  type.tp_clear = parts.clear;
  type.tp_methods = parts.methods;
  type.tp_members = parts.members;
  type.tp_getset = parts.getset;
  type.tp_init = parts.init;
  type.tp_new = PyType_GenericNew;
  return PyType_Ready(&type) == 0 && PyModule_AddType(module, &type) == 0;
}

bool add_capsule(PyObject* module) {
  Ref capsule = Ref::steal(PyCapsule_New(&c_api, VELMAR_WIRE_CAPSULE, nullptr));
  return capsule && PyModule_AddObjectRef(module, "_C_API", capsule.get()) == 0;
}

}  // namespace
}  // namespace velmar::wire

PyMODINIT_FUNC PyInit_velmar_wire() {
  using namespace velmar::wire;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  const bool ok =
      add_exception(
          module.get(), planes_not_binary, "PlanesNotBinary", PyExc_ValueError,
          "A request's planes hold a value other than 0.0 and 1.0, so they cannot be sent as bits.") &&
      add_exception(module.get(), service_gone, "ServiceGone", PyExc_RuntimeError,
                    "The inference service is not answering any more.") &&
      add_exception(module.get(), run_stopped, "RunStopped", PyExc_RuntimeError,
                    "The run is stopping; the game in progress is abandoned.") &&
      add_exception(module.get(), misrouted_reply, "MisroutedReply", PyExc_RuntimeError,
                    "A reply meant for another game arrived on this slot's pipe.") &&
      add_type(module.get(), sender_type, sender_parts) &&
      add_type(module.get(), receiver_type, receiver_parts) &&
      add_type(module.get(), reader_type, reader_parts) &&
      add_type(module.get(), writer_type, writer_parts) && add_capsule(module.get()) &&
      PyModule_AddIntConstant(module.get(), "FRAME", kFrameBytes) == 0 &&
      PyModule_AddIntConstant(module.get(), "REPLY", kReplyBytes) == 0;
  return ok ? module.release() : nullptr;
}
