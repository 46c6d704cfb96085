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

}  // namespace

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

}  // namespace vesk::py
