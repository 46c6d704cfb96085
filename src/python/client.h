// The `Client` class: timers on a remote scheduling service.
#pragma once

#include "py_ref.h"

namespace vesk::py {

// The class object (a new reference), or nullptr with the error set.
PyObject* make_client_type(PyObject* module);

}  // namespace vesk::py
