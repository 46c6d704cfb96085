// The module functions that start, inspect and stop the process's engine.
#pragma once

#include "py_ref.h"

namespace vesk::py {

PyObject* start(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* shutdown(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* status(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* list(PyObject* module, PyObject* args, PyObject* kwargs);

// At interpreter exit: no engine thread may call into Python any more, and
// a running engine starts no new run. Nothing waits for runs in progress.
void stop_at_exit();

}  // namespace vesk::py
