// A `schedule` call turned into what the engine registers.
#pragma once

#include <string>

#include "py_ref.h"
#include "timer/retry.h"
#include "timer/schedule.h"

namespace vesk::py {

struct Registration {
  std::string name;  // the timer id
  Schedule schedule;
  std::string timezone = "UTC";
  RetryPolicy retry;
  std::string fn_name;
  Ref callable;
};

}  // namespace vesk::py

namespace vesk {
class Engine;
}

namespace vesk::py {

// Builds the registration's PyCallableHandler and registers it with the
// engine. Returns false with a Python exception set (through the engine
// error mapping) on failure. Call with the interpreter lock held.
bool register_with_engine(Engine& engine, Registration registration);

// The `schedule(name, **kwargs)` module function.
PyObject* schedule(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vesk::py
