#include "py_ref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace vesk::py {
namespace {

std::atomic<bool> g_exiting = false;

struct DeferredReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

// Never destroyed: engine threads may still drop references during exit.
DeferredReleases& deferred() {
  static auto* releases = new DeferredReleases();
  return *releases;
}

// The Python thread state an engine thread keeps between its calls.
struct ThreadState {
  PyThreadState* state = nullptr;
  PyGILState_STATE gilstate = PyGILState_UNLOCKED;

  ~ThreadState() {
    // At process exit the interpreter may be gone or going: leave it alone.
    if (state == nullptr || g_exiting.load() || interpreter_finalizing()) return;
    PyEval_RestoreThread(state);
    PyGILState_Release(gilstate);  // the last release clears and deletes the state
  }
};

thread_local ThreadState t_thread_state;

}  // namespace

Gil::Gil() {
  if (PyGILState_Check()) {
    nested_ = true;
  } else if (t_thread_state.state == nullptr) {
    t_thread_state.gilstate = PyGILState_Ensure();
    t_thread_state.state = PyThreadState_Get();
  } else {
    PyEval_RestoreThread(t_thread_state.state);
  }
  drain_deferred_releases();
}

Gil::~Gil() {
  if (nested_ || abandoned_) return;
  PyEval_SaveThread();
}

void defer_release(PyObject* object) {
  DeferredReleases& d = deferred();
  std::lock_guard lock(d.mutex);
  d.objects.push_back(object);
}

void drain_deferred_releases() {
  std::vector<PyObject*> objects;
  {
    DeferredReleases& d = deferred();
    std::lock_guard lock(d.mutex);
    if (d.objects.empty()) return;
    objects.swap(d.objects);
  }
  for (PyObject* object : objects) Py_DECREF(object);
}

void Ref::reset() {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (PyGILState_Check()) {
    Py_DECREF(object);
  } else if (!exiting()) {
    defer_release(object);
  }
  // While the process exits the reference is simply left behind.
}

bool exiting() { return g_exiting.load(std::memory_order_acquire); }
void mark_exiting() { g_exiting.store(true, std::memory_order_release); }

Ref import_attribute(const char* module, const char* name) {
  Ref imported = Ref::steal(PyImport_ImportModule(module));
  if (!imported) return {};
  return Ref::steal(PyObject_GetAttrString(imported.get(), name));
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace vesk::py
