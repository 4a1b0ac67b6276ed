// velmar_wire: the hot ends of the exchange between the workers and the inference service.
//
// `RequestSender` and `ReplyPipe` are the `inference_queue` and `pipe` objects a worker hands to
// generate_game_data; `ReplyWriter` sends a whole batch of replies from the service. They speak
// the frame format of velmar_pipeline.wire, whose Python functions stay the reference these are
// tested against byte for byte. Every wait and every system call runs with the interpreter lock
// released, so the other threads of a worker keep searching meanwhile.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <poll.h>
#include <structmember.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "encoding.hpp"
#include "py_ref.hpp"

namespace velmar::wire {
namespace {

using py::Ref;

static_assert(std::endian::native == std::endian::little, "frames are little-endian in memory");

constexpr std::size_t kIdBytes = 4;
constexpr std::size_t kBits = kPlanes * kCells;
constexpr std::size_t kFrameBytes = kIdBytes + kBits / 8;
constexpr std::size_t kReplyFloats = kCells + kPlayers;
constexpr std::size_t kReplyBytes = kIdBytes + 4 * kReplyFloats;
// A reply travels as a multiprocessing Connection message: a 4-byte big-endian length, then the
// bytes. Both fit PIPE_BUF, so a message is written and read whole.
constexpr std::size_t kHeaderBytes = 4;
static_assert(kBits % 8 == 0);
static_assert(kHeaderBytes + kReplyBytes <= PIPE_BUF && kFrameBytes <= PIPE_BUF);

using Frame = std::array<std::uint8_t, kFrameBytes>;

PyObject* planes_not_binary = nullptr;
PyObject* service_gone = nullptr;
PyObject* run_stopped = nullptr;
PyObject* misrouted_reply = nullptr;

// --- small helpers ----------------------------------------------------------------------------

std::int32_t read_le32(const std::uint8_t* bytes) {
  std::int32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::int32_t read_be32(const std::uint8_t* bytes) {
  return static_cast<std::int32_t>(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                    std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]});
}

void write_be32(std::uint8_t* bytes, std::uint32_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 24);
  bytes[1] = static_cast<std::uint8_t>(value >> 16);
  bytes[2] = static_cast<std::uint8_t>(value >> 8);
  bytes[3] = static_cast<std::uint8_t>(value);
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

enum class Io { done, interrupted, failed };

// Runs `call` (a system call returning -1 with errno on failure) without the interpreter lock,
// retrying after signals once their handlers have run. `interrupted`: a handler raised.
template <class Call>
Io unlocked(Call call, ssize_t& result) {
  for (;;) {
    PyThreadState* state = PyEval_SaveThread();
    result = call();
    const int error = errno;
    PyEval_RestoreThread(state);
    errno = error;
    if (result >= 0) return Io::done;
    if (errno != EINTR) return Io::failed;
    if (PyErr_CheckSignals() < 0) return Io::interrupted;
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
  initproc init;
};

// --- requests ---------------------------------------------------------------------------------

bool planes_shape_error(const char* detail, Py_ssize_t count) {
  PyErr_Format(PyExc_ValueError, "planes must be %zu x %zu values (%s %zd)", kPlanes, kCells, detail, count);
  return false;
}

// The value of one plane item as a bit; false with an exception set when it is not a number.
bool item_bit(PyObject* item, bool& bit, bool& binary) {
  const double value = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) {
    Ref cause = fetch_exception();
    PyErr_Format(PyExc_ValueError, "planes must be %zu x %zu values (%S)", kPlanes, kCells, cause.get());
    return false;
  }
  binary &= value == 0.0 || value == 1.0;
  bit = value == 1.0;
  return true;
}

// Objects already known to be the floats 0.0 and 1.0: the engine fills its planes with two shared
// objects, so most items are recognised by their address alone.
struct KnownBits {
  PyObject* zero = nullptr;
  PyObject* one = nullptr;

  void learn(PyObject* item, bool bit) {
    if (!PyFloat_CheckExact(item)) return;
    (bit ? one : zero) = item;
  }
};

// One row of 400 values into bits, most significant bit first (numpy's packbits order).
bool pack_row(PyObject* row, std::uint8_t* out, KnownBits& known) {
  Ref fast = Ref::steal(PySequence_Fast(row, "a plane must be a sequence of values"));
  if (!fast) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  if (size != static_cast<Py_ssize_t>(kCells)) return planes_shape_error("a plane of", size);
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  bool binary = true;
  for (std::size_t byte = 0; byte < kCells / 8; ++byte) {
    PyObject** eight = items + byte * 8;
    // Branch-free over the known objects; any other object sends the byte the slow way.
    std::uint8_t packed = 0;
    bool known_all = true;
    for (std::size_t bit = 0; bit < 8; ++bit) {
      const bool set = eight[bit] == known.one;
      known_all &= set | (eight[bit] == known.zero);
      packed = static_cast<std::uint8_t>(packed << 1 | set);
    }
    if (!known_all) {
      packed = 0;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        bool set = eight[bit] == known.one;
        if (!set && eight[bit] != known.zero) {
          if (!item_bit(eight[bit], set, binary)) return false;
          known.learn(eight[bit], set);
        }
        packed = static_cast<std::uint8_t>(packed << 1 | set);
      }
    }
    out[byte] = packed;
  }
  if (!binary) PyErr_SetString(planes_not_binary, "planes must hold only 0.0 and 1.0");
  return binary;
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
  const auto id32 = static_cast<std::int32_t>(id);
  std::memcpy(frame.data(), &id32, kIdBytes);

  Ref planes = Ref::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(pair.get(), 1), "planes must be a sequence"));
  if (!planes) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(planes.get());
  if (count != static_cast<Py_ssize_t>(kPlanes)) return planes_shape_error("got", count);
  KnownBits known;
  for (std::size_t p = 0; p < kPlanes; ++p) {
    if (!pack_row(PySequence_Fast_GET_ITEM(planes.get(), p), frame.data() + kIdBytes + p * kCells / 8, known)) {
      return false;
    }
  }
  return true;
}

struct Sender {
  PyObject_HEAD
  int fd;
  PyObject* failure;
};

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
  ssize_t written = 0;
  const int fd = self->fd;
  switch (unlocked([&] { return ::write(fd, frame.data(), frame.size()); }, written)) {
    case Io::interrupted:
      return nullptr;
    case Io::failed:
      PyErr_SetFromErrno(PyExc_OSError);  // EPIPE: the service's end is closed
      raise_and_keep(&self->failure, fetch_exception());
      return nullptr;
    case Io::done:
      break;
  }
  if (static_cast<std::size_t>(written) != frame.size()) {
    PyErr_Format(PyExc_OSError, "a request frame was cut short (%zd of %zu bytes)", written, frame.size());
    raise_and_keep(&self->failure, fetch_exception());
    return nullptr;
  }
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
    "shared request\npipe (one write, never torn). failure keeps the error of a failed write.";

const TypeParts sender_parts = {"velmar_wire.RequestSender", sizeof(Sender), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, sender_doc,
                                  reinterpret_cast<destructor>(sender_dealloc), reinterpret_cast<traverseproc>(sender_traverse), reinterpret_cast<inquiry>(sender_clear),
                                  sender_methods, sender_members, reinterpret_cast<initproc>(sender_init)};

// --- replies ----------------------------------------------------------------------------------

struct Receiver {
  PyObject_HEAD
  PyObject* conn;
  PyObject* expected_id;
  PyObject* failure;
  PyObject* last_reply;
  Py_ssize_t replies;
  double timeout;
  int fd;
  std::size_t have;  // bytes buffered in `buffer`
  std::array<std::uint8_t, kHeaderBytes + kReplyBytes> buffer;
};

using Clock = std::chrono::steady_clock;

// Waits until `fd` is readable, for at most `timeout_ms`, then reads what is there, all in one
// stretch without the interpreter lock: the bytes read, 0 at end of file, or -1 with errno
// (ETIMEDOUT when nothing came in time).
ssize_t wait_and_read(int fd, int timeout_ms, std::uint8_t* into, std::size_t room) {
  pollfd entry{fd, POLLIN, 0};
  const int ready = ::poll(&entry, 1, timeout_ms);
  if (ready < 0) return -1;
  if (ready == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  return ::read(fd, into, room);
}

PyObject* service_gone_error(Receiver* self, const char* text) {
  Ref cause;
  if (PyErr_Occurred()) cause = fetch_exception();
  Ref error = make_exception(service_gone, PyUnicode_FromString(text));
  if (error && cause) PyException_SetCause(error.get(), cause.release());
  raise_and_keep(&self->failure, std::move(error));
  return nullptr;
}

// Reads until `count` bytes are buffered; false with an exception set otherwise.
bool fill(Receiver* self, std::size_t count, Clock::time_point deadline) {
  while (self->have < count) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      char* seconds = PyOS_double_to_string(self->timeout, 'g', 6, 0, nullptr);
      if (seconds == nullptr) return false;
      PyObject* text = PyUnicode_FromFormat("no reply from the inference service within %s s", seconds);
      PyMem_Free(seconds);
      raise_and_keep(&self->failure, make_exception(service_gone, text));
      return false;
    }
    const int fd = self->fd;
    const int timeout_ms = static_cast<int>(std::min<long long>(left, 60'000));
    std::uint8_t* into = self->buffer.data() + self->have;
    const std::size_t room = self->buffer.size() - self->have;
    ssize_t got = 0;
    const Io io = unlocked([&] { return wait_and_read(fd, timeout_ms, into, room); }, got);
    if (io == Io::interrupted) return false;
    if (io == Io::failed && errno == ETIMEDOUT) continue;
    if (io == Io::failed || got == 0) {
      if (io == Io::failed) PyErr_SetFromErrno(PyExc_OSError);
      service_gone_error(self, "the inference service is gone (its end of the reply pipe closed)");
      return false;
    }
    self->have += static_cast<std::size_t>(got);
  }
  return true;
}

// Drops `count` bytes of a message that is not a reply, so that the next one starts in step.
bool skip(Receiver* self, std::size_t count, Clock::time_point deadline) {
  while (count > 0) {
    if (self->have == 0 && !fill(self, 1, deadline)) return false;
    const std::size_t dropped = std::min(count, self->have);
    std::memmove(self->buffer.data(), self->buffer.data() + dropped, self->have - dropped);
    self->have -= dropped;
    count -= dropped;
  }
  return true;
}

float read_float(const std::uint8_t* bytes) {
  float value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

Ref float_list(const std::uint8_t* bytes, std::size_t count) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* number = PyFloat_FromDouble(read_float(bytes + 4 * i));
    if (number == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list;
}

// A list of `count` floats that nothing else holds, or null.
PyObject* private_list(PyObject* list, std::size_t count) {
  const bool mine = PyList_CheckExact(list) && Py_REFCNT(list) == 1 &&
                    PyList_GET_SIZE(list) == static_cast<Py_ssize_t>(count);
  return mine ? list : nullptr;
}

// Writes the numbers into `list` in place. A float that only this list holds is changed in
// place; nothing else can see it, and it spares freeing and making 404 floats per reply.
bool refill(PyObject* list, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const double value = read_float(bytes + 4 * i);
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    if (PyFloat_CheckExact(item) && Py_REFCNT(item) == 1) {
      reinterpret_cast<PyFloatObject*>(item)->ob_fval = value;
      continue;
    }
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) return false;
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), number);
    Py_DECREF(item);
  }
  return true;
}

// The reply tuple (logits, values, id). The last one is refilled when nobody but this pipe holds
// it or its lists any more (the engine reads a reply and lets it go), as zip() reuses its tuple.
PyObject* make_reply(Receiver* self, const std::uint8_t* message, Ref id) {
  const std::uint8_t* logits_bytes = message + kIdBytes;
  const std::uint8_t* values_bytes = logits_bytes + 4 * kCells;
  PyObject* last = self->last_reply;
  if (last != nullptr && Py_REFCNT(last) == 1) {
    PyObject* logits = private_list(PyTuple_GET_ITEM(last, 0), kCells);
    PyObject* values = private_list(PyTuple_GET_ITEM(last, 1), kPlayers);
    if (logits != nullptr && values != nullptr && refill(logits, logits_bytes, kCells) &&
        refill(values, values_bytes, kPlayers)) {
      Py_SETREF(reinterpret_cast<PyTupleObject*>(last)->ob_item[2], id.release());
      return Py_NewRef(last);
    }
    if (PyErr_Occurred()) return nullptr;
  }
  Ref logits = float_list(logits_bytes, kCells);
  Ref values = logits ? float_list(values_bytes, kPlayers) : Ref();
  if (!values) return nullptr;
  PyObject* reply = PyTuple_Pack(3, logits.get(), values.get(), id.get());
  if (reply != nullptr) Py_XSETREF(self->last_reply, Py_NewRef(reply));
  return reply;
}

PyObject* decode_reply(Receiver* self, const std::uint8_t* message) {
  const std::int32_t id = read_le32(message);
  Ref id_object = Ref::steal(PyLong_FromLong(id));
  if (!id_object) return nullptr;
  const int same = PyObject_RichCompareBool(id_object.get(), self->expected_id, Py_EQ);
  if (same < 0) return nullptr;
  if (same == 0) {
    raise_and_keep(&self->failure,
                   make_exception(misrouted_reply, PyUnicode_FromFormat("reply for game id %d reached game id %R",
                                                                        static_cast<int>(id), self->expected_id)));
    return nullptr;
  }
  PyObject* reply = make_reply(self, message, std::move(id_object));
  if (reply != nullptr) ++self->replies;
  return reply;
}

PyObject* receiver_recv(Receiver* self, PyObject*) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(self->timeout));
  if (!fill(self, kHeaderBytes, deadline)) return nullptr;
  const std::int32_t length = read_be32(self->buffer.data());
  if (length == 0) {
    std::memmove(self->buffer.data(), self->buffer.data() + kHeaderBytes, self->have - kHeaderBytes);
    self->have -= kHeaderBytes;
    raise_and_keep(&self->failure, make_exception(run_stopped, PyUnicode_FromString("the run is stopping")));
    return nullptr;
  }
  if (length != static_cast<std::int32_t>(kReplyBytes)) {
    if (length < 0) {  // a length this side never sends; nothing after it can be trusted
      PyErr_Format(PyExc_ValueError, "a reply must be %zu bytes, got a length header of %d", kReplyBytes,
                   static_cast<int>(length));
      return nullptr;
    }
    if (!skip(self, kHeaderBytes + static_cast<std::size_t>(length), deadline)) return nullptr;
    PyErr_Format(PyExc_ValueError, "a reply must be %zu bytes, got %d", kReplyBytes, static_cast<int>(length));
    return nullptr;
  }
  if (!fill(self, kHeaderBytes + kReplyBytes, deadline)) return nullptr;
  PyObject* reply = decode_reply(self, self->buffer.data() + kHeaderBytes);
  const std::size_t used = kHeaderBytes + kReplyBytes;
  std::memmove(self->buffer.data(), self->buffer.data() + used, self->have - used);
  self->have -= used;
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
  return 0;
}

int receiver_traverse(Receiver* self, visitproc visit, void* arg) {
  Py_VISIT(self->conn);
  Py_VISIT(self->expected_id);
  Py_VISIT(self->failure);
  Py_VISIT(self->last_reply);
  return 0;
}

int receiver_clear(Receiver* self) {
  Py_CLEAR(self->conn);
  Py_CLEAR(self->expected_id);
  Py_CLEAR(self->failure);
  Py_CLEAR(self->last_reply);
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
    "ReplyPipe(conn, timeout)\n--\n\nThe pipe handed to the engine: recv waits (without the interpreter lock) "
    "for this slot's\nnext reply on conn and returns (logits, values, id). It raises ServiceGone when the\n"
    "service's end closes or no reply comes within timeout seconds, RunStopped on the\nempty message, "
    "MisroutedReply when the id is not expected_id; failure keeps that error.";

const TypeParts receiver_parts = {"velmar_wire.ReplyPipe", sizeof(Receiver), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, receiver_doc,
                                  reinterpret_cast<destructor>(receiver_dealloc), reinterpret_cast<traverseproc>(receiver_traverse), reinterpret_cast<inquiry>(receiver_clear),
                                  receiver_methods, receiver_members, reinterpret_cast<initproc>(receiver_init)};

// --- the service's side -----------------------------------------------------------------------

struct Writer {
  PyObject_HEAD
  std::vector<int>* fds;  // by slot; -1 once the slot's worker is gone
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

// Sends one message to the slot owning `id`; a slot whose worker is gone is dropped for good.
// False (errno set) on any other failure.
bool send_message(Writer* self, std::int32_t id, const std::uint8_t* message, std::size_t size) {
  if (id < 0 || id / self->stride >= static_cast<long>(self->fds->size())) return true;  // not an id of this run
  int& fd = (*self->fds)[static_cast<std::size_t>(id / self->stride)];
  if (fd < 0) return true;
  for (;;) {
    if (::write(fd, message, size) >= 0) return true;
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
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)};
  }
};

bool writer_ready(const Writer* self) {
  if (self->fds != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "ReplyWriter was not initialised");
  return false;
}

// The first row that holds a NaN or an infinity, or -1.
Py_ssize_t first_non_finite(std::span<const float> numbers, std::size_t row_length) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!std::isfinite(numbers[i])) return static_cast<Py_ssize_t>(i / row_length);
  }
  return -1;
}

PyObject* writer_send(Writer* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!writer_ready(self)) return nullptr;
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "send() takes ids, logits and values (%zd given)", nargs);
    return nullptr;
  }
  Buffer ids, logits, values;
  if (!ids.get(args[0], kIdBytes) || !logits.get(args[1], 4 * kCells) || !values.get(args[2], 4 * kPlayers)) {
    return nullptr;
  }
  const std::size_t count = ids.bytes().size() / kIdBytes;
  if (logits.bytes().size() != count * 4 * kCells || values.bytes().size() != count * 4 * kPlayers) {
    PyErr_Format(PyExc_ValueError, "send() needs %zu rows of logits [%zu] and values [%zu] (float32)", count, kCells,
                 kPlayers);
    return nullptr;
  }
  const std::span<const float> logit_numbers(reinterpret_cast<const float*>(logits.bytes().data()), count * kCells);
  const std::span<const float> value_numbers(reinterpret_cast<const float*>(values.bytes().data()), count * kPlayers);
  // Nothing of a batch is sent unless all of it can be: NaN or infinity would steer the search blindly.
  for (const auto& [numbers, width, name] : {std::tuple{logit_numbers, kCells, "logits"},
                                             std::tuple{value_numbers, kPlayers, "values"}}) {
    if (first_non_finite(numbers, width) >= 0) {
      PyErr_Format(PyExc_ValueError, "the evaluator returned non-finite %s (NaN or infinity)", name);
      return nullptr;
    }
  }
  std::array<std::uint8_t, kHeaderBytes + kReplyBytes> message;
  write_be32(message.data(), kReplyBytes);
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (std::size_t row = 0; row < count && ok; ++row) {
    std::uint8_t* body = message.data() + kHeaderBytes;
    std::memcpy(body, ids.bytes().data() + row * kIdBytes, kIdBytes);
    std::memcpy(body + kIdBytes, logit_numbers.data() + row * kCells, 4 * kCells);
    std::memcpy(body + kIdBytes + 4 * kCells, value_numbers.data() + row * kPlayers, 4 * kPlayers);
    ok = send_message(self, read_le32(body), message.data(), message.size());
  }
  const int error = errno;
  PyEval_RestoreThread(state);
  errno = error;
  if (!ok) return PyErr_SetFromErrno(PyExc_OSError);
  Py_RETURN_NONE;
}

PyObject* writer_stop(Writer* self, PyObject* ids) {
  if (!writer_ready(self)) return nullptr;
  Buffer rows;
  if (!rows.get(ids, kIdBytes)) return nullptr;
  const auto bytes = rows.bytes();
  const std::array<std::uint8_t, kHeaderBytes> empty{};
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (std::size_t at = 0; at < bytes.size() && ok; at += kIdBytes) {
    ok = send_message(self, read_le32(bytes.data() + at), empty.data(), empty.size());
  }
  const int error = errno;
  PyEval_RestoreThread(state);
  errno = error;
  if (!ok) return PyErr_SetFromErrno(PyExc_OSError);
  Py_RETURN_NONE;
}

PyMethodDef writer_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_send)), METH_FASTCALL,
     "send(ids, logits, values)\n--\n\nSends reply i (ids[i], logits[i], values[i]) to the reply pipe of the slot "
     "that owns ids[i].\nC-contiguous int32 [B], float32 [B, 400] and float32 [B, 4]. Refuses the whole batch "
     "with\nValueError when a number is NaN or infinite."},
    {"stop", reinterpret_cast<PyCFunction>(writer_stop), METH_O,
     "stop(ids)\n--\n\nSends the empty message (abandon the game) to the owner of every id (int32 buffer)."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char* writer_doc =
    "ReplyWriter(fds, id_stride)\n--\n\nThe service's ends of the reply pipes, by slot. A reply goes to slot "
    "id // id_stride;\nids of no slot are skipped, and so is a slot whose worker has gone (its pipe broke).";

const TypeParts writer_parts = {"velmar_wire.ReplyWriter", sizeof(Writer), Py_TPFLAGS_DEFAULT, writer_doc,
                                  reinterpret_cast<destructor>(writer_dealloc), nullptr, nullptr,
                                  writer_methods, nullptr, reinterpret_cast<initproc>(writer_init)};

// Frames into ids (int32) and planes (float32, 0.0 or 1.0), the layout the evaluators read.
PyObject* unpack(PyObject*, PyObject* frames) {
  Buffer input;
  if (!input.get(frames, kFrameBytes)) return nullptr;
  const auto bytes = input.bytes();
  const std::size_t count = bytes.size() / kFrameBytes;
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
    const std::uint8_t* in = bytes.data() + frame * kFrameBytes;
    std::memcpy(id_out + frame * kIdBytes, in, kIdBytes);
    for (std::size_t byte = 0; byte < kBits / 8; ++byte) {
      std::memcpy(plane_out + frame * kBits + byte * 8, spread[in[kIdBytes + byte]].data(), 8 * sizeof(float));
    }
  }
  return PyTuple_Pack(2, ids.get(), planes.get());
}

PyMethodDef module_methods[] = {
    {"unpack", unpack, METH_O,
     "unpack(frames)\n--\n\nThe ids (int32) and the planes (float32, 5 x 400 per frame) of a run of whole request "
     "frames,\nas two bytearrays."},
    {nullptr, nullptr, 0, nullptr}};

// --- the module -------------------------------------------------------------------------------

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmar_wire",
    "The exchange endpoints of the workers and the service in native code (see velmar_pipeline.wire).", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr};

bool add_exception(PyObject* module, PyObject*& slot, const char* name, PyObject* base, const char* doc) {
  slot = PyErr_NewExceptionWithDoc((std::string("velmar_wire.") + name).c_str(), doc, base, nullptr);
  return slot != nullptr && PyModule_AddObjectRef(module, name, slot) == 0;
}

// The head macro cannot be followed by designated initialisers, so the rest is set in add_type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject sender_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject receiver_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject writer_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

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
  type.tp_init = parts.init;
  type.tp_new = PyType_GenericNew;
  return PyType_Ready(&type) == 0 && PyModule_AddType(module, &type) == 0;
}

}  // namespace
}  // namespace velmar::wire

PyMODINIT_FUNC PyInit_velmar_wire() {
  using namespace velmar::wire;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  const bool ok =
      add_exception(module.get(), planes_not_binary, "PlanesNotBinary", PyExc_ValueError,
                    "A request's planes hold a value other than 0.0 and 1.0, so they cannot be sent as bits.") &&
      add_exception(module.get(), service_gone, "ServiceGone", PyExc_RuntimeError,
                    "The inference service is not answering any more.") &&
      add_exception(module.get(), run_stopped, "RunStopped", PyExc_RuntimeError,
                    "The run is stopping; the game in progress is abandoned.") &&
      add_exception(module.get(), misrouted_reply, "MisroutedReply", PyExc_RuntimeError,
                    "A reply meant for another game arrived on this slot's pipe.") &&
      add_type(module.get(), sender_type, sender_parts) &&
      add_type(module.get(), receiver_type, receiver_parts) && add_type(module.get(), writer_type, writer_parts) &&
      PyModule_AddIntConstant(module.get(), "FRAME", kFrameBytes) == 0 &&
      PyModule_AddIntConstant(module.get(), "REPLY", kReplyBytes) == 0;
  return ok ? module.release() : nullptr;
}
