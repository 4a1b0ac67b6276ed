// The velmar_self_play extension module: one function that plays a whole
// self-play game and returns its training record.

#include <cstdio>
#include <new>
#include <string>

#include "arguments.hpp"
#include "config_read.hpp"
#include "driver.hpp"
#include "failure.hpp"
#include "interpreter.hpp"
#include "native_exchange.hpp"
#include "output.hpp"
#include "record.hpp"

namespace velmar::py {
namespace {

constexpr const char* kModuleName = "velmar_self_play";
constexpr const char* kFunctionName = "generate_game_data";

// Created on first use and kept for the process, under the interpreter lock.
PyObject* panic_exception() {
  static PyObject* type =
      PyErr_NewExceptionWithDoc("velmar_self_play.PanicException",
                                "An invariant of the self-play engine was violated; the game was abandoned.",
                                PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // creating the class failed and set its own error
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

void report_failure(const InternalFailure& failure) {
  const auto& where = failure.where();
  write_stderr(std::string("velmar_self_play: internal failure at ") + where.file_name() + ":" +
               std::to_string(where.line()) + ":" + std::to_string(where.column()) + " in " +
               where.function_name() + ":\n" + failure.what() + "\n");
}

// The text in double quotes with backslash escapes, as a debug rendering shows it.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

PyObject* play(PyObject* config_object, PyObject* queue, PyObject* pipe, std::int32_t id) {
  auto config = read_config(config_object);
  if (!config) {
    throw InternalFailure("called `Result::unwrap()` on an `Err` value: " + config.error().debug());
  }
  // Made and destroyed with the lock held, around the game played without it.
  const std::unique_ptr<Evaluator> exchange = make_exchange(queue, pipe, id);
  std::expected<Record, std::string> record;
  {
    const InterpreterUnlocked unlocked;
    record = play_game(*config, *exchange);
  }
  if (!record) {
    PyErr_SetString(PyExc_Exception, quoted(record.error()).c_str());
    return nullptr;
  }
  return record_to_python(*record).release();
}

PyObject* generate_game_data(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  const auto bound = bind_arguments(kFunctionName, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto id = convert_id((*bound)[0]);
  if (!id) return nullptr;
  // Released in the order pipe, queue, config on every way out.
  const Ref config = Ref::borrow((*bound)[1]);
  const Ref queue = Ref::borrow((*bound)[2]);
  const Ref pipe = Ref::borrow((*bound)[3]);
  try {
    return play(config.get(), queue.get(), pipe.get(), *id);
  } catch (Interrupted& interrupted) {
    std::move(interrupted.error).restore();
  } catch (const InternalFailure& failure) {
    report_failure(failure);
    raise_panic(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  }
  return nullptr;
}

PyMethodDef function_def = {kFunctionName,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_game_data)),
                            METH_FASTCALL | METH_KEYWORDS,
                            "generate_game_data(id, config, inference_queue, pipe)\n--\n\n"
                            "Plays one four-player self-play game by tree search and returns its training\n"
                            "record (moves, policies, payoff). Every position is valued by the inference\n"
                            "service: requests (id, planes) are put on inference_queue and each reply\n"
                            "(policy logits, values) is received from pipe."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

bool add_function(PyObject* module) {
  Ref name_of_module = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!name_of_module) return false;
  Ref function = Ref::steal(PyCFunction_NewEx(&function_def, module, name_of_module.get()));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace
}  // namespace velmar::py

PyMODINIT_FUNC PyInit_velmar_self_play() {
  using namespace velmar::py;
  static bool initialised = false;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "velmar_self_play may only be initialized once per interpreter process");
    return nullptr;
  }
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module || !add_function(module.get())) return nullptr;
  initialised = true;
  return module.release();
}
