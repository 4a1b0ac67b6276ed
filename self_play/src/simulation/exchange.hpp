#pragma once
// The evaluator that talks to the Python inference service: each request is
// put on the caller's queue object and its reply taken from the pipe object.

#include "evaluator.hpp"
#include "py_ref.hpp"

namespace velmar::py {

class QueueExchange final : public Evaluator {
 public:
  // `queue` and `pipe` are borrowed: the caller keeps them alive.
  QueueExchange(PyObject* queue, PyObject* pipe, std::int32_t id);

  std::expected<void, EvalError> exchange(const Planes& planes, Reply& reply) override;

 private:
  Ref request(const Planes& planes) const;

  PyObject* queue_;
  PyObject* pipe_;
  Ref id_;
  Ref zero_, one_;  // shared by every request: the planes hold nothing else
  Ref put_, recv_;  // method names
};

}  // namespace velmar::py
