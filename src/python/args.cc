#include "args.h"

#include <limits>
#include <string>

namespace vesk::py {

bool bind_arguments(std::string_view function, std::span<const Parameter> params, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  const std::string fn(function);
  const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
  const auto count = static_cast<Py_ssize_t>(params.size());
  if (given > count) {
    std::size_t required = 0;
    for (const Parameter& p : params) required += p.required;
    std::string takes;
    if (required == params.size()) {
      takes = std::to_string(count) + (count == 1 ? " positional argument" : " positional arguments");
    } else {
      takes = "from " + std::to_string(required) + " to " + std::to_string(count) + " positional arguments";
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", fn.c_str(), takes.c_str(), given,
                 given == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < given ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t length = 0;
      const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
      if (name == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fn.c_str());
        return false;
      }
      const std::string_view key_name(name, static_cast<std::size_t>(length));
      std::size_t index = 0;
      while (index < params.size() && params[index].name != key_name) ++index;
      if (index == params.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.c_str(), key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fn.c_str(), key);
        return false;
      }
      out[index] = value;
    }
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].required && out[i] == nullptr) {
      const std::string name(params[i].name);
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", fn.c_str(), name.c_str());
      return false;
    }
  }
  return true;
}

bool bind_seconds(PyObject* given, std::string_view name, double& out) {
  if (given == nullptr) return true;
  const double value = PyFloat_AsDouble(given);
  if (value == -1.0 && PyErr_Occurred()) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(cause.get()));
    const std::string parameter(name);
    if (text) PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter.c_str(), text.get());
    return false;
  }
  out = value;
  return true;
}

bool read_max_attempts(PyObject* value, std::uint32_t& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  const long long wide = PyLong_AsLongLong(index.get());
  if (wide == -1 && PyErr_Occurred()) return false;
  if (wide < 0 || wide > static_cast<long long>(std::numeric_limits<std::uint32_t>::max())) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(wide);
  return true;
}

}  // namespace vesk::py
