#include "worker.h"

#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "args.h"
#include "callable_handler.h"
#include "errors.h"
#include "json_convert.h"
#include "lifecycle.h"
#include "service_call.h"
#include "time/instant.h"

namespace vesk::py {
namespace {

constexpr auto kExchangeLimit = std::chrono::seconds(30);
constexpr double kDefaultPollSeconds = 20.0;

// Task name -> function, owned by the worker; its decorators keep the worker.
// The mutex is only ever taken with the interpreter lock held and never across
// Python code, so the garbage collector's walk needs no lock of its own.
struct TaskRegistry {
  mutable std::mutex mutex;
  std::map<std::string, Ref> tasks;

  // The registered names as a JSON array, for the registration and poll bodies.
  json::Value names() const {
    std::lock_guard lock(mutex);
    json::Array out;
    for (const auto& [name, fn] : tasks) out.emplace_back(name);
    return out;
  }
};

struct WorkerObject {
  PyObject_HEAD
  std::string server;
  std::string token;
  std::string worker_id;
  TaskRegistry registry;
};

struct DecoratorObject {
  PyObject_HEAD
  Ref worker;
  std::string name;
};

TaskRegistry& registry_of(const DecoratorObject* decorator) {
  return reinterpret_cast<WorkerObject*>(decorator->worker.get())->registry;
}

PyTypeObject* g_decorator_type = nullptr;  // made with the module, never freed

std::optional<json::Value> post(const WorkerObject* self, const std::string& path, const json::Value& body,
                                std::chrono::nanoseconds limit, bool release_gil) {
  return call_service(self->server, self->token, "POST", path, &body, limit, release_gil);
}

bool send_registration(const WorkerObject* self) {
  json::Object body;
  body.emplace("lease_seconds", json::Value(std::uint64_t{30}));
  body.emplace("tasks", self->registry.names());
  body.emplace("worker_id", json::Value(self->worker_id));
  return post(self, "/v1/workers/register", json::Value(std::move(body)), kExchangeLimit, false).has_value();
}

PyObject* worker_run_once_seconds(WorkerObject* self, double seconds) {
  const auto limit = timeout_of(seconds);
  if (!limit) return nullptr;
  if (!send_registration(self)) return nullptr;
  json::Object poll_body;
  poll_body.emplace("tasks", self->registry.names());
  poll_body.emplace("worker_id", json::Value(self->worker_id));
  auto run = post(self, "/v1/workers/poll", json::Value(std::move(poll_body)), *limit, true);
  if (!run) return nullptr;
  if (run->is<std::nullptr_t>()) Py_RETURN_FALSE;

  const auto text_member = [&](const char* key) {
    const json::Value* v = run->find(key);
    return v != nullptr && v->is<std::string>() ? v->as<std::string>() : std::string();
  };
  const std::string task = text_member("task");
  const std::string run_id = text_member("run_id");
  std::uint64_t fencing_token = 0;
  if (const json::Value* v = run->find("fencing_token"); v != nullptr && v->is<std::uint64_t>()) {
    fencing_token = v->as<std::uint64_t>();
  }
  const json::Value* payload_value = run->find("payload");
  Ref payload = Ref::steal(json_to_python(payload_value != nullptr ? *payload_value : json::Value()));
  if (!payload) return nullptr;

  Ref fn;
  {
    std::lock_guard lock(self->registry.mutex);
    if (const auto it = self->registry.tasks.find(task); it != self->registry.tasks.end()) {
      fn = Ref::borrow(it->second.get());
    }
  }
  if (!fn) return raise_runtime_error("task " + task + " is not registered");

  const std::expected<void, std::string> outcome = call_to_completion(fn.get(), payload.get());
  const bool failure = !outcome.has_value();
  json::Object report;
  if (failure) report.emplace("error", json::Value(outcome.error()));
  report.emplace("fencing_token", json::Value(fencing_token));
  report.emplace("worker_id", json::Value(self->worker_id));
  const std::string path = "/v1/runs/" + run_id + (failure ? "/fail" : "/succeed");
  if (!post(self, path, json::Value(std::move(report)), kExchangeLimit, false)) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* worker_run_once(PyObject* object, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kParams[] = {{"timeout", false}};
  PyObject* bound[1];
  if (!bind_arguments("run_once", kParams, args, kwargs, bound)) return nullptr;
  double seconds = kDefaultPollSeconds;
  if (!bind_seconds(bound[0], "timeout", seconds)) return nullptr;
  return worker_run_once_seconds(reinterpret_cast<WorkerObject*>(object), seconds);
}

PyObject* worker_run(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyObject* none[1];
  if (!bind_arguments("run", std::span<const Parameter>(), args, kwargs, std::span<PyObject*>(none, 0))) {
    return nullptr;
  }
  while (true) {
    Ref done = Ref::steal(worker_run_once_seconds(reinterpret_cast<WorkerObject*>(object), kDefaultPollSeconds));
    if (!done) return nullptr;
    if (PyErr_CheckSignals() < 0) return nullptr;  // Ctrl-C ends the loop
  }
}

PyObject* worker_register(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyObject* none[1];
  if (!bind_arguments("register", std::span<const Parameter>(), args, kwargs, std::span<PyObject*>(none, 0))) {
    return nullptr;
  }
  if (!send_registration(reinterpret_cast<WorkerObject*>(object))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* worker_task(PyObject* object, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kParams[] = {{"name", true}};
  PyObject* bound[1];
  if (!bind_arguments("task", kParams, args, kwargs, bound)) return nullptr;
  std::string name;
  if (!utf8_of(bound[0], "name", name)) return nullptr;
  PyObject* decorator = g_decorator_type->tp_alloc(g_decorator_type, 0);
  if (decorator == nullptr) return nullptr;
  auto* d = reinterpret_cast<DecoratorObject*>(decorator);
  new (&d->worker) Ref(Ref::borrow(object));
  new (&d->name) std::string(std::move(name));
  return decorator;
}

PyObject* decorator_call(PyObject* object, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kParams[] = {{"fn", true}};
  PyObject* bound[1];
  if (!bind_arguments("__call__", kParams, args, kwargs, bound)) return nullptr;
  auto* self = reinterpret_cast<DecoratorObject*>(object);
  Ref replaced;
  {
    TaskRegistry& registry = registry_of(self);
    std::lock_guard lock(registry.mutex);
    Ref& slot = registry.tasks[self->name];
    replaced = std::move(slot);
    slot = Ref::borrow(bound[0]);
  }
  // `replaced` goes here, outside the registry lock: its release may run Python code.
  return Py_NewRef(bound[0]);
}

int decorator_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<DecoratorObject*>(object)->worker.get());
  return 0;
}

void decorator_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<DecoratorObject*>(object);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  self->worker.~Ref();
  self->name.~basic_string();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* worker_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* self = reinterpret_cast<WorkerObject*>(object);
  new (&self->server) std::string();
  new (&self->token) std::string();
  new (&self->worker_id) std::string();
  new (&self->registry) TaskRegistry();
  return object;
}

int worker_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kParams[] = {{"server", true}, {"token", true}, {"worker_id", false}};
  PyObject* bound[3];
  if (!bind_arguments("Worker", kParams, args, kwargs, bound)) return -1;
  auto* self = reinterpret_cast<WorkerObject*>(object);
  std::string server, token, worker_id;
  if (!utf8_of(bound[0], "server", server) || !utf8_of(bound[1], "token", token)) return -1;
  if (bound[2] != nullptr && bound[2] != Py_None) {
    if (!utf8_of(bound[2], "worker_id", worker_id)) return -1;
  } else {
    const Instant now = Instant::now();
    __int128 nanos = static_cast<__int128>(now.seconds) * 1'000'000'000 + now.nanos;
    if (nanos > INT64_MAX || nanos < INT64_MIN) nanos = 0;
    worker_id = "worker_" + std::to_string(static_cast<std::int64_t>(nanos));
  }
  self->server = std::move(server);
  self->token = std::move(token);
  self->worker_id = std::move(worker_id);
  return 0;
}

int worker_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  for (const auto& [name, fn] : reinterpret_cast<WorkerObject*>(object)->registry.tasks) Py_VISIT(fn.get());
  return 0;
}

int worker_clear(PyObject* object) {
  TaskRegistry& registry = reinterpret_cast<WorkerObject*>(object)->registry;
  std::map<std::string, Ref> dropped;
  {
    std::lock_guard lock(registry.mutex);
    dropped.swap(registry.tasks);
  }
  return 0;  // `dropped` goes here, outside the registry lock: releases may run Python code
}

void worker_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<WorkerObject*>(object);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  worker_clear(object);
  self->server.~basic_string();
  self->token.~basic_string();
  self->worker_id.~basic_string();
  self->registry.~TaskRegistry();
  type->tp_free(object);
  Py_DECREF(type);
}

PyMethodDef worker_methods[] = {
    {"task", with_keywords<worker_task>(), METH_VARARGS | METH_KEYWORDS, "task($self, /, name)\n--\n\n"},
    {"register", with_keywords<worker_register>(), METH_VARARGS | METH_KEYWORDS, "register($self, /)\n--\n\n"},
    {"run_once", with_keywords<worker_run_once>(), METH_VARARGS | METH_KEYWORDS,
     "run_once($self, /, timeout=20.0)\n--\n\n"},
    {"run", with_keywords<worker_run>(), METH_VARARGS | METH_KEYWORDS, "run($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot worker_slots[] = {
    {Py_tp_doc, const_cast<char*>("Worker(server, token, worker_id=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(worker_new)},
    {Py_tp_init, reinterpret_cast<void*>(worker_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(worker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(worker_clear)},
    {Py_tp_methods, worker_methods},
    {0, nullptr},
};

PyType_Slot decorator_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {0, nullptr},
};

PyType_Spec worker_spec = {
    "vesk.Worker", sizeof(WorkerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    worker_slots,
};
PyType_Spec decorator_spec = {
    "vesk.PyTaskDecorator", sizeof(DecoratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    decorator_slots,
};

}  // namespace

PyObject* make_worker_type(PyObject* module) {
  if (g_decorator_type == nullptr) {
    g_decorator_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decorator_spec, nullptr));
    if (g_decorator_type == nullptr) return nullptr;
  }
  return PyType_FromModuleAndSpec(module, &worker_spec, nullptr);
}

}  // namespace vesk::py
