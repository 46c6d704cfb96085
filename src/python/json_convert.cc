#include "json_convert.h"

#include <exception>
#include <string>

#include "errors.h"

namespace vesk::py {
PyObject* json_to_python(const json::Value& value) {
  std::string text;
  try {
    text = json::to_string(value);
  } catch (const std::exception& e) {
    return raise_runtime_error(std::string("could not write JSON: ") + e.what());
  }
  Ref loads = import_attribute("json", "loads");
  if (!loads) return nullptr;
  Ref str = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return nullptr;
  return PyObject_CallOneArg(loads.get(), str.get());
}

std::optional<json::Value> python_to_json(PyObject* object) {
  Ref dumps = import_attribute("json", "dumps");
  if (!dumps) return std::nullopt;
  Ref text = Ref::steal(PyObject_CallOneArg(dumps.get(), object));
  if (!text) return std::nullopt;
  std::string utf8;
  if (!utf8_of(text.get(), "", utf8)) return std::nullopt;
  auto value = json::parse(utf8);
  if (!value) {
    raise_value_error(value.error().message);
    return std::nullopt;
  }
  return std::move(*value);
}

}  // namespace vesk::py
