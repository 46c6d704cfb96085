// The `Worker` class and its task decorator: runs handed out by a remote
// scheduling service, executed here and reported back.
#pragma once

#include "py_ref.h"

namespace vesk::py {

// The Worker class object (a new reference), or nullptr with the error set.
PyObject* make_worker_type(PyObject* module);

}  // namespace vesk::py
