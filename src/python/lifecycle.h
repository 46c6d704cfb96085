// The module functions that start, inspect and stop the process's engine.
#pragma once

#include "py_ref.h"

#include <chrono>
#include <optional>

namespace vesk::py {

PyObject* start(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* shutdown(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* status(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* list(PyObject* module, PyObject* args, PyObject* kwargs);

// At interpreter exit: no engine thread may call into Python any more, and
// a running engine starts no new run. Nothing waits for runs in progress.
void stop_at_exit();

// A `timeout` in seconds as whole nanoseconds; raises ValueError "timeout
// must be a non-negative number" (or OverflowError when too large).
std::optional<std::chrono::nanoseconds> timeout_of(double seconds);

}  // namespace vesk::py
