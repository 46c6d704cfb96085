// JSON values to Python objects and back, through the json module: the
// values handed to Python are exactly what json.loads makes of our text, and
// what Python hands back is exactly what json.dumps accepts.
#pragma once

#include "py_ref.h"

#include <optional>

#include "json/value.h"

namespace vesk::py {

// A new reference to the Python form of `value`; nullptr with the error set
// on failure. Needs the interpreter lock.
PyObject* json_to_python(const json::Value& value);

// The JSON value of a Python object as json.dumps writes it (with its
// default settings). Integers within 64 bits stay integers; larger ones,
// like every number with a fraction or exponent, become doubles. Text that
// json.dumps writes but strict JSON rejects (NaN, Infinity, lone surrogate
// escapes) raises ValueError with the reader's message. nullopt with the
// error set on failure. Needs the interpreter lock.
std::optional<json::Value> python_to_json(PyObject* object);

}  // namespace vesk::py
