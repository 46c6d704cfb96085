// Argument binding with the wording Python uses for its own functions.
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

namespace vesk::py {

struct Parameter {
  std::string_view name;
  bool required;
};

// Binds `args` and `kwargs` to `params` (positional or keyword) and stores
// borrowed references in `out` (nullptr for an absent optional parameter).
// Raises TypeError as Python does for a `def` function: "f() takes 1
// positional argument but 2 were given", "f() got an unexpected keyword
// argument 'x'", "f() got multiple values for argument 'x'", "f() missing 1
// required positional argument: 'x'".
bool bind_arguments(std::string_view function, std::span<const Parameter> params, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out);

// A float parameter, converted as Python converts to float; leaves `out`
// alone when `given` is null (absent). A wrong type raises TypeError
// "argument 'NAME': must be real number, not str".
bool bind_seconds(PyObject* given, std::string_view name, double& out);

// max_attempts as a count of attempts: any integer-like object (`__index__`)
// within 0..2^32-1; beyond it OverflowError "out of range integral type
// conversion attempted".
bool read_max_attempts(PyObject* value, std::uint32_t& out);

// A METH_VARARGS | METH_KEYWORDS function as the method table's PyCFunction.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace vesk::py
