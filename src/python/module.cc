// The extension module `vesk`: a thin binding over the core library.
#include "py_ref.h"

#include <string>

#include "args.h"
#include "client.h"
#include "worker.h"
#include "errors.h"
#include "lifecycle.h"
#include "registration.h"

namespace vesk::py {
namespace {

constexpr Parameter kDataDirParam[] = {{"data_dir", false}};
constexpr Parameter kTimeoutParam[] = {{"timeout", false}};
constexpr Parameter kNameParam[] = {{"name", true}};

// `asyncio.to_thread(module.<counterpart>[, argument])`, with the counterpart
// looked up on the module at call time. The argument is borrowed.
PyObject* to_thread(PyObject* module, const char* counterpart, PyObject* argument = nullptr) {
  Ref runner = import_attribute("asyncio", "to_thread");
  if (!runner) return nullptr;
  Ref function = Ref::steal(PyObject_GetAttrString(module, counterpart));
  if (!function) return nullptr;
  PyObject* call[] = {function.get(), argument};
  return PyObject_Vectorcall(runner.get(), call, argument != nullptr ? 2 : 1, nullptr);
}

PyObject* astart(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_arguments("astart", kDataDirParam, args, kwargs, bound)) return nullptr;
  if (bound[0] == nullptr || bound[0] == Py_None) return to_thread(module, "start");
  std::string checked;
  if (!utf8_of(bound[0], "data_dir", checked)) return nullptr;
  return to_thread(module, "start", bound[0]);
}

PyObject* ashutdown(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_arguments("ashutdown", kTimeoutParam, args, kwargs, bound)) return nullptr;
  double seconds = 5.0;
  if (!bind_seconds(bound[0], "timeout", seconds)) return nullptr;
  Ref timeout = Ref::steal(PyFloat_FromDouble(seconds));
  if (!timeout) return nullptr;
  return to_thread(module, "shutdown", timeout.get());
}

PyObject* astatus(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_arguments("astatus", kNameParam, args, kwargs, bound)) return nullptr;
  std::string checked;
  if (!utf8_of(bound[0], "name", checked)) return nullptr;
  return to_thread(module, "status", bound[0]);
}

PyObject* alist(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* none[1];
  if (!bind_arguments("alist", std::span<const Parameter>(), args, kwargs, std::span<PyObject*>(none, 0))) {
    return nullptr;
  }
  return to_thread(module, "list");
}

// Called by `atexit` before the interpreter finalizes.
PyObject* at_exit(PyObject*, PyObject*) {
  stop_at_exit();
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"schedule", with_keywords<schedule>(), METH_VARARGS | METH_KEYWORDS, "schedule(name, **kwargs)\n--\n\n"},
    {"start", with_keywords<start>(), METH_VARARGS | METH_KEYWORDS, "start(data_dir=None)\n--\n\n"},
    {"astart", with_keywords<astart>(), METH_VARARGS | METH_KEYWORDS, "astart(data_dir=None)\n--\n\n"},
    {"shutdown", with_keywords<shutdown>(), METH_VARARGS | METH_KEYWORDS, "shutdown(timeout=5.0)\n--\n\n"},
    {"ashutdown", with_keywords<ashutdown>(), METH_VARARGS | METH_KEYWORDS, "ashutdown(timeout=5.0)\n--\n\n"},
    {"status", with_keywords<status>(), METH_VARARGS | METH_KEYWORDS, "status(name)\n--\n\n"},
    {"astatus", with_keywords<astatus>(), METH_VARARGS | METH_KEYWORDS, "astatus(name)\n--\n\n"},
    {"list", with_keywords<list>(), METH_VARARGS | METH_KEYWORDS, "list()\n--\n\n"},
    {"alist", with_keywords<alist>(), METH_VARARGS | METH_KEYWORDS, "alist()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef at_exit_method = {"_vesk_at_exit", at_exit, METH_NOARGS, nullptr};

int exec_module(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", VESK_VERSION) < 0) return -1;
  Ref client = Ref::steal(make_client_type(module));
  if (!client || PyModule_AddObjectRef(module, "Client", client.get()) < 0) return -1;
  Ref worker = Ref::steal(make_worker_type(module));
  if (!worker || PyModule_AddObjectRef(module, "Worker", worker.get()) < 0) return -1;
  // A running engine must stop calling into Python before the interpreter
  // goes away; `atexit` runs while it is still whole.
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref hook = Ref::steal(PyCFunction_New(&at_exit_method, nullptr));
  if (!hook) return -1;
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return registered ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vesk", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vesk::py

PyMODINIT_FUNC PyInit_vesk() { return PyModuleDef_Init(&vesk::py::module_def); }
