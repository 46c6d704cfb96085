#include "errors.h"

#include <string>

#include "storage/event_log.h"
#include "storage/file_io.h"

namespace vesk::py {
namespace {

PyObject* raise(PyObject* type, std::string_view message) {
  PyErr_SetString(type, std::string(message).c_str());
  return nullptr;
}

}  // namespace

PyObject* raise_engine_error(const EngineError& error) {
  std::string message = error.message();
  switch (error.kind()) {
    case ErrorKind::kInvalidCron:
    case ErrorKind::kInvalidTimezone:
      return raise(PyExc_ValueError, message);
    case ErrorKind::kDirectoryLocked: {
      // The writer holding the lock serves the control socket beside it;
      // naming it tells the user where to reach that process.
      const std::string directory = parent_directory(error.detail());
      if (!directory.empty()) {
        message += "; another writer may be active; socket: ";
        message += join_path(directory, "vesk.sock");
      }
      return raise(PyExc_RuntimeError, message);
    }
    default:
      return raise(PyExc_RuntimeError, message);
  }
}

PyObject* raise_runtime_error(std::string_view message) { return raise(PyExc_RuntimeError, message); }

PyObject* raise_value_error(std::string_view message) { return raise(PyExc_ValueError, message); }

PyObject* raise_not_a_string(std::string_view name, PyObject* given) {
  std::string qualname = "<unknown type>";
  if (PyObject* q = PyType_GetQualName(Py_TYPE(given))) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(q, &size)) qualname.assign(text, static_cast<std::size_t>(size));
    Py_DECREF(q);
  }
  PyErr_Clear();  // a failure to read the type's name must not replace the TypeError
  std::string message;
  if (!name.empty()) {
    message += "argument '";
    message += name;
    message += "': ";
  }
  message += "'" + qualname + "' object cannot be converted to 'PyString'";
  return raise(PyExc_TypeError, message);
}

bool utf8_of(PyObject* object, std::string_view parameter, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_not_a_string(parameter, object);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;  // lone surrogates: the UnicodeEncodeError stands
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vesk::py
