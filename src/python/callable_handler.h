// A Python callable as the engine's TimerHandler.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "engine/timer_handler.h"
#include "py_ref.h"

namespace vesk::py {

class PyCallableHandler final : public TimerHandler {
 public:
  PyCallableHandler(std::string fn_name, Ref callable);
  ~PyCallableHandler() override;

  std::string name() const override { return fn_name_; }

  // Takes the interpreter lock and this handler's lock, decides from the
  // callable's signature whether to pass {"timer_id", "run_id"}, calls it,
  // and runs a returned coroutine to completion on a fresh event loop.
  // A raised exception becomes its `python_error_text`.
  std::expected<void, std::string> call(const std::string& timer_id, const std::string& run_id) override;

 private:
  const std::string fn_name_;
  std::mutex mutex_;  // serialises runs of this timer; never waited for with the interpreter lock held
  Ref callable_;
};

// Calls `callable` with `argument` (no argument when null); a returned
// coroutine is run to completion on a fresh event loop on this thread.
// Nothing on success, else the failure text of what raised. Needs the
// interpreter lock.
std::expected<void, std::string> call_to_completion(PyObject* callable, PyObject* argument);

// "<type qualname>: <str(exception)>", or "...: <exception str() failed>".
// Needs the interpreter lock.
std::string python_error_text(PyObject* exception);

}  // namespace vesk::py
