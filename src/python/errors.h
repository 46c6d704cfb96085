// Engine errors and argument errors as Python exceptions. Every function
// here sets the Python error indicator and returns nullptr, so callers can
// `return raise_...(...)` from a C-API function.
#pragma once

#include "py_ref.h"

#include <string>
#include <string_view>

#include "error.h"

namespace vesk::py {

// ValueError for the two "invalid ..." kinds, RuntimeError for the others;
// a lock conflict gets "; another writer may be active; socket: " and the
// socket path of the locked directory.
PyObject* raise_engine_error(const EngineError& error);

PyObject* raise_runtime_error(std::string_view message);
PyObject* raise_value_error(std::string_view message);

// The TypeError of a `str` parameter given another type:
// "argument 'NAME': '<type qualname>' object cannot be converted to 'PyString'"
// (without the prefix when `name` is empty).
PyObject* raise_not_a_string(std::string_view name, PyObject* given);

// The UTF-8 text of a `str` object; raises (and returns false) otherwise.
bool utf8_of(PyObject* object, std::string_view parameter, std::string& out);

// "vesk global state lock poisoned"
inline constexpr std::string_view kGlobalStatePoisoned = "vesk global state lock poisoned";

}  // namespace vesk::py
