#include "native_exchange.hpp"

#include <array>
#include <cstring>

#include "exchange.hpp"
#include "interpreter.hpp"

namespace velmar::py {
namespace {

static_assert(VELMAR_WIRE_CELLS == kCells && VELMAR_WIRE_PLANES == kPlanes && VELMAR_WIRE_PLAYERS == kValues,
              "the frame format and the engine disagree on the sizes");
static_assert(sizeof(Planes) == VELMAR_WIRE_BITS * sizeof(float));
static_assert(kPackedBytes == VELMAR_WIRE_FRAME_BYTES - VELMAR_WIRE_ID_BYTES,
              "a frame's bits are the packed planes");

bool api_fits(const velmar_wire_api* api) {
  return api != nullptr && api->version == VELMAR_WIRE_API_VERSION && api->size >= sizeof(velmar_wire_api) &&
         api->frame_bytes == VELMAR_WIRE_FRAME_BYTES && api->reply_bytes == VELMAR_WIRE_REPLY_BYTES &&
         api->cells == kCells && api->planes == kPlanes && api->players == kValues;
}

// velmar_wire's interface when the module is loaded and fits this build, else null. Kept once
// found: an extension module stays loaded for the life of the process.
const velmar_wire_api* wire_api() {
  static const velmar_wire_api* found = nullptr;  // set under the interpreter lock
  if (found != nullptr) return found;
  Ref name = Ref::steal(PyUnicode_FromString("velmar_wire"));
  // Only a module already imported: objects of its types cannot exist before it is.
  Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
  Ref capsule = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_C_API")) : Ref();
  const auto* api =
      capsule && PyCapsule_IsValid(capsule.get(), VELMAR_WIRE_CAPSULE)
          ? static_cast<const velmar_wire_api*>(PyCapsule_GetPointer(capsule.get(), VELMAR_WIRE_CAPSULE))
          : nullptr;
  PyErr_Clear();  // no usable interface is no error: the plain path serves
  if (api_fits(api)) found = api;
  return found;
}

// Whether this is the interpreter's main thread, the one that runs signal handlers; true when in doubt.
bool on_main_thread() {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
  Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return value == PyThread_get_thread_ident();
}

}  // namespace

NativeExchange::NativeExchange(const velmar_wire_api& api, PyObject* sender, PyObject* pipe, std::int32_t id,
                               std::int64_t expected)
    : api_(api), sender_(sender), pipe_(pipe), id_(id), expected_(expected), main_thread_(on_main_thread()) {}

NativeExchange::~NativeExchange() { api_.count_replies(pipe_, replies_); }

std::unexpected<EvalError> NativeExchange::fail(PyObject* endpoint, const velmar_wire_outcome& out) const {
  const InterpreterLocked locked;
  api_.raise_outcome(endpoint, &out);
  return pending_failure();
}

std::expected<void, EvalError> NativeExchange::run_signal_handlers() const {
  const InterpreterLocked locked;
  if (PyErr_CheckSignals() < 0) return pending_failure();
  return {};
}

std::expected<void, EvalError> NativeExchange::exchange_packed(const PackedPlanes& planes, Reply& reply) {
  Frame frame;
  std::memcpy(frame.data() + VELMAR_WIRE_ID_BYTES, planes.data(), planes.size());
  return send_and_receive(frame, reply);
}

std::expected<void, EvalError> NativeExchange::exchange(const Planes& planes, Reply& reply) {
  Frame frame;
  if (velmar_wire_pack_bits(planes.data(), frame.data() + VELMAR_WIRE_ID_BYTES) == 0) {
    return fail(sender_, {VELMAR_WIRE_NOT_BINARY, 0, 0});
  }
  return send_and_receive(frame, reply);
}

std::expected<void, EvalError> NativeExchange::send_and_receive(Frame& frame, Reply& reply) {
  // A long search is where the interpreter would otherwise not see a Ctrl-C for seconds; as
  // on the plain path, but no other thread has handlers to run.
  if (main_thread_) {
    const InterpreterLocked locked;
    if (PyErr_CheckSignals() < 0) throw Interrupted{Error::fetch()};
  }
  velmar_wire_put_le32(frame.data(), id_);
  velmar_wire_outcome out{};
  while (api_.send_frame(sender_, frame.data(), &out) == VELMAR_WIRE_SIGNAL) {
    if (auto handled = run_signal_handlers(); !handled) return std::unexpected(std::move(handled.error()));
  }
  if (out.code != VELMAR_WIRE_OK) return fail(sender_, out);

  std::int64_t deadline = 0;  // set from the pipe's timeout by the first try, kept across signals
  std::int32_t id = 0;
  while (api_.receive_reply(pipe_, &deadline, 1, expected_, reply.policy.data(), reply.values.data(), &id,
                            &out) == VELMAR_WIRE_SIGNAL) {
    if (auto handled = run_signal_handlers(); !handled) return std::unexpected(std::move(handled.error()));
  }
  if (out.code != VELMAR_WIRE_OK) return fail(pipe_, out);
  reply.policy_len = kCells;
  reply.values_len = kValues;
  ++replies_;
  return {};
}

std::unique_ptr<Evaluator> make_exchange(PyObject* queue, PyObject* pipe, std::int32_t id) {
  const velmar_wire_api* api = wire_api();
  std::int64_t expected = 0;
  // Exactly the endpoint types: a subclass may have changed what put and recv do.
  if (api != nullptr && Py_IS_TYPE(queue, api->request_sender) && Py_IS_TYPE(pipe, api->reply_pipe) &&
      api->expected_id(pipe, &expected) != 0) {
    return std::make_unique<NativeExchange>(*api, queue, pipe, id, expected);
  }
  return std::make_unique<QueueExchange>(queue, pipe, id);
}

}  // namespace velmar::py
