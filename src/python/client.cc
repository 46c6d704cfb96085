#include "client.h"

#include <chrono>
#include <new>
#include <string>

#include "args.h"
#include "errors.h"
#include "json_convert.h"
#include "remote/http.h"
#include "service_call.h"

namespace vesk::py {
namespace {

constexpr auto kRequestLimit = std::chrono::seconds(30);

struct ClientObject {
  PyObject_HEAD
  std::string server;
  std::string token;
};

// One exchange; the answer as a Python value, or nullptr with the error set.
PyObject* exchange(ClientObject* self, const char* method, const std::string& path, const json::Value* body) {
  auto answer = call_service(self->server, self->token, method, path, body, kRequestLimit, false);
  if (!answer) return nullptr;
  return json_to_python(*answer);
}

int client_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kParams[] = {{"server", true}, {"token", true}};
  PyObject* bound[2];
  if (!bind_arguments("Client", kParams, args, kwargs, bound)) return -1;
  auto* self = reinterpret_cast<ClientObject*>(object);
  std::string server;
  std::string token;
  if (!utf8_of(bound[0], "server", server) || !utf8_of(bound[1], "token", token)) return -1;
  self->server = std::move(server);
  self->token = std::move(token);
  return 0;
}

PyObject* client_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* self = reinterpret_cast<ClientObject*>(object);
  new (&self->server) std::string();
  new (&self->token) std::string();
  return object;
}

void client_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<ClientObject*>(object);
  PyTypeObject* type = Py_TYPE(object);
  self->server.~basic_string();
  self->token.~basic_string();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* client_list(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyObject* none[1];
  if (!bind_arguments("list", std::span<const Parameter>(), args, kwargs, std::span<PyObject*>(none, 0))) {
    return nullptr;
  }
  return exchange(reinterpret_cast<ClientObject*>(object), "GET", "/v1/timers", nullptr);
}

// status(name) and history(name): GET /v1/timers/<name>[suffix].
PyObject* get_timer(PyObject* object, PyObject* args, PyObject* kwargs, const char* function, const char* suffix) {
  static constexpr Parameter kParams[] = {{"name", true}};
  PyObject* bound[1];
  if (!bind_arguments(function, kParams, args, kwargs, bound)) return nullptr;
  std::string name;
  if (!utf8_of(bound[0], "name", name)) return nullptr;
  if (remote::has_control_character(name)) {
    return raise_value_error("invalid request: name contains a control character");
  }
  return exchange(reinterpret_cast<ClientObject*>(object), "GET", "/v1/timers/" + name + suffix, nullptr);
}

PyObject* client_status(PyObject* object, PyObject* args, PyObject* kwargs) {
  return get_timer(object, args, kwargs, "status", "");
}

PyObject* client_history(PyObject* object, PyObject* args, PyObject* kwargs) {
  return get_timer(object, args, kwargs, "history", "/history");
}

// A str argument, or None (null) where None is allowed.
bool text_or_null(PyObject* given, const char* name, json::Value& out) {
  if (given == nullptr || given == Py_None) {
    out = json::Value();
    return true;
  }
  std::string text;
  if (!utf8_of(given, name, text)) return false;
  out = json::Value(std::move(text));
  return true;
}

PyObject* client_schedule(PyObject* object, PyObject* args, PyObject* kwargs) {
  // name is positional or keyword; every other parameter is keyword-only.
  static constexpr Parameter kParams[] = {{"name", true},     {"task", false},  {"payload", false},
                                          {"cron", false},    {"every", false}, {"after", false},
                                          {"at", false},      {"timezone", false}, {"max_attempts", false}};
  if (args != nullptr && PyTuple_GET_SIZE(args) > 1) {
    PyErr_Format(PyExc_TypeError, "schedule() takes 2 positional arguments but %zd were given",
                 PyTuple_GET_SIZE(args) + 1);
    return nullptr;
  }
  PyObject* bound[std::size(kParams)];
  if (!bind_arguments("schedule", kParams, args, kwargs, bound)) return nullptr;
  if (bound[1] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "schedule() missing 1 required keyword-only argument: 'task'");
    return nullptr;
  }
  std::string name;
  std::string task;
  if (!utf8_of(bound[0], "name", name) || !utf8_of(bound[1], "task", task)) return nullptr;
  json::Object body;
  const char* text_fields[] = {"cron", "every", "after", "at"};
  for (int i = 0; i < 4; ++i) {
    json::Value value;
    if (!text_or_null(bound[3 + i], text_fields[i], value)) return nullptr;
    body.emplace(text_fields[i], std::move(value));
  }
  std::string timezone = "UTC";
  if (bound[7] != nullptr && bound[7] != Py_None && !utf8_of(bound[7], "timezone", timezone)) return nullptr;
  std::uint32_t max_attempts = 3;
  if (bound[8] != nullptr && !read_max_attempts(bound[8], max_attempts)) return nullptr;
  json::Value payload;
  if (bound[2] != nullptr && bound[2] != Py_None) {
    auto converted = python_to_json(bound[2]);
    if (!converted) return nullptr;
    payload = std::move(*converted);
  }
  body.emplace("max_attempts", json::Value(std::uint64_t{max_attempts}));
  body.emplace("name", json::Value(name));
  body.emplace("payload", std::move(payload));
  body.emplace("task", json::Value(std::move(task)));
  body.emplace("timezone", json::Value(std::move(timezone)));
  const json::Value value(std::move(body));
  return exchange(reinterpret_cast<ClientObject*>(object), "POST", "/v1/timers", &value);
}

PyMethodDef client_methods[] = {
    {"list", with_keywords<client_list>(), METH_VARARGS | METH_KEYWORDS, "list($self, /)\n--\n\n"},
    {"status", with_keywords<client_status>(), METH_VARARGS | METH_KEYWORDS, "status($self, /, name)\n--\n\n"},
    {"history", with_keywords<client_history>(), METH_VARARGS | METH_KEYWORDS, "history($self, /, name)\n--\n\n"},
    {"schedule", with_keywords<client_schedule>(), METH_VARARGS | METH_KEYWORDS,
     "schedule($self, /, name, *, task, payload=None, cron=None, every=None, after=None, at=None, timezone=None, "
     "max_attempts=3)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>("Client(server, token)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_init, reinterpret_cast<void*>(client_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "vesk.Client", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, client_slots,
};

}  // namespace

PyObject* make_client_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &client_spec, nullptr); }

}  // namespace vesk::py
