// The extension module `vesk`: a thin binding over the core library.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef vesk_module = {
    PyModuleDef_HEAD_INIT,
    "vesk",
    "A durable timer and job scheduler that lives inside Python programs.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vesk() {
  PyObject* module = PyModule_Create(&vesk_module);
  if (module == nullptr) return nullptr;
  if (PyModule_AddStringConstant(module, "__version__", VESK_VERSION) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
