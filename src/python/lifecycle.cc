#include "lifecycle.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "args.h"
#include "engine/engine.h"
#include "errors.h"
#include "global_state.h"
#include "storage/data_dir.h"
#include "storage/event_log.h"
#include "storage/file_io.h"
#include "time/instant.h"
#include "utf8.h"

namespace vesk::py {
namespace {

constexpr Parameter kStartParams[] = {{"data_dir", false}};
constexpr Parameter kShutdownParams[] = {{"timeout", false}};
constexpr Parameter kStatusParams[] = {{"name", true}};

// An environment variable's value when it is set and valid UTF-8.
std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  if (!is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

// VESK_HOME; else the directory of sys.argv[0] joined with ".vesk"; else
// $HOME/.vesk; else ".vesk". Fails only when `sys` cannot be imported.
std::optional<std::string> default_data_dir() {
  if (auto home = environment("VESK_HOME")) return home;
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  if (!sys) return std::nullopt;
  Ref argv = Ref::steal(PyObject_GetAttrString(sys.get(), "argv"));
  if (!argv) PyErr_Clear();
  if (argv && PySequence_Check(argv.get()) && PySequence_Size(argv.get()) > 0) {
    Ref first = Ref::steal(PySequence_GetItem(argv.get(), 0));
    if (first && PyUnicode_Check(first.get())) {
      const char* script = PyUnicode_AsUTF8(first.get());
      if (script != nullptr && std::string_view(script) != "/") {
        if (const std::string dir = parent_directory(script); !dir.empty()) return join_path(dir, ".vesk");
      }
    }
  }
  PyErr_Clear();
  if (auto home = environment("HOME")) return join_path(*home, ".vesk");
  return std::string(".vesk");
}

}  // namespace

std::optional<std::chrono::nanoseconds> timeout_of(double seconds) {
  if (std::isnan(seconds) || std::isinf(seconds) || seconds < 0) {
    raise_value_error("timeout must be a non-negative number");
    return std::nullopt;
  }
  const double nanos = std::nearbyint(seconds * 1e9);
  if (nanos >= 9.2e18) {
    PyErr_SetString(PyExc_OverflowError, "timeout is too large");
    return std::nullopt;
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

namespace {

PyObject* optional_text(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* optional_instant(const std::optional<Instant>& at) {
  if (!at) Py_RETURN_NONE;
  const std::string text = format_rfc3339(*at, UtcSuffix::kPlusZero);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

constexpr const char* kLowerStateNames[] = {"scheduled", "running", "retrying", "dead",
                                            "orphaned",  "paused",  "cancelled"};

// The dictionary keys, made once (interned, never freed).
PyObject* const* status_keys() {
  static PyObject* const* keys = [] {
    static PyObject* made[8];
    const char* names[] = {"id", "state", "fn_name", "last_run_at", "last_duration_ms", "last_status",
                           "next_run_at", "retries_last_7d"};
    for (int i = 0; i < 8; ++i) made[i] = PyUnicode_InternFromString(names[i]);
    return made;
  }();
  return keys;
}

PyObject* const* state_names() {
  static PyObject* const* names = [] {
    static PyObject* made[std::size(kLowerStateNames)];
    for (std::size_t i = 0; i < std::size(kLowerStateNames); ++i) {
      made[i] = PyUnicode_InternFromString(kLowerStateNames[i]);
    }
    return made;
  }();
  return names;
}

// The status dictionary, keys in the record's order.
PyObject* status_dict(const TimerStatus& s) {
  PyObject* const* keys = status_keys();
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  int index = 0;
  const auto put = [&](PyObject* value) {
    if (value == nullptr) return false;
    const int set = PyDict_SetItem(dict.get(), keys[index++], value);
    Py_DECREF(value);
    return set == 0;
  };
  const bool ok =
      put(PyUnicode_FromStringAndSize(s.id.data(), static_cast<Py_ssize_t>(s.id.size()))) &&
      put(Py_NewRef(state_names()[static_cast<int>(s.state)])) && put(optional_text(s.fn_name)) &&
      put(optional_instant(s.last_run_at)) &&
      put(s.last_duration_ms ? PyLong_FromUnsignedLongLong(*s.last_duration_ms) : Py_NewRef(Py_None)) &&
      put(optional_text(s.last_status)) && put(optional_instant(s.next_run_at)) &&
      put(PyLong_FromUnsignedLong(s.retries_last_7d));
  return ok ? dict.release() : nullptr;
}

}  // namespace

PyObject* start(PyObject*, PyObject* args, PyObject* kwargs) {
  drain_deferred_releases();
  PyObject* bound[1];
  if (!bind_arguments("start", kStartParams, args, kwargs, bound)) return nullptr;
  std::optional<std::string> requested;
  if (bound[0] != nullptr && bound[0] != Py_None) {
    std::string dir;
    if (!utf8_of(bound[0], "data_dir", dir)) return nullptr;
    requested = std::move(dir);
  }

  GlobalStateLock state;
  if (!state.ok()) return nullptr;
  if (state->current) return raise_engine_error(EngineError::already_started());
  std::optional<std::string> dir = requested ? requested : default_data_dir();
  if (!dir) return nullptr;

  Result<OpenedStorage> storage = [&] {
    GilRelease released;
    return open_engine(*dir);
  }();
  if (!storage) return raise_engine_error(storage.error());
  std::shared_ptr<Engine> engine = Engine::create(std::move(*storage));

  std::vector<Registration> pending = std::move(state->pending);
  state->pending.clear();
  for (Registration& registration : pending) {
    if (!register_with_engine(*engine, std::move(registration))) {
      // The engine never ran: let it go without waiting for anything.
      GilRelease released;
      (void)engine->shutdown(std::chrono::nanoseconds(0));
      engine.reset();
      return nullptr;
    }
  }

  auto control = [&] {
    GilRelease released;
    return ipc::Server::start(engine);
  }();
  if (!control) {
    {
      GilRelease released;
      (void)engine->shutdown(std::chrono::nanoseconds(0));
      engine.reset();
    }
    return raise_engine_error(control.error());
  }

  if (auto started = engine->start_scheduler(); !started) {
    // Leave nothing behind: the channel's threads hold the engine, and with
    // it the directory lock.
    {
      GilRelease released;
      (*control)->stop();
    }
    return raise_engine_error(started.error());
  }
  state->current = RunningEngine{std::move(engine), std::move(*control)};
  Py_RETURN_NONE;
}

PyObject* shutdown(PyObject*, PyObject* args, PyObject* kwargs) {
  drain_deferred_releases();
  PyObject* bound[1];
  if (!bind_arguments("shutdown", kShutdownParams, args, kwargs, bound)) return nullptr;
  double seconds = 5.0;
  if (!bind_seconds(bound[0], "timeout", seconds)) return nullptr;

  RunningEngine running;
  std::chrono::nanoseconds limit{};
  {
    GlobalStateLock state;
    if (!state.ok()) return nullptr;
    if (!state->current) Py_RETURN_NONE;
    const auto converted = timeout_of(seconds);
    if (!converted) return nullptr;
    limit = *converted;
    running = std::move(*state->current);
    state->current.reset();
  }

  // Neither lock is held while waiting: runs still in flight may need both.
  Result<void> stopped = [&] {
    GilRelease released;
    return running.engine->shutdown(limit);
  }();
  if (!stopped) {
    GlobalStateLock state;
    if (!state.ok()) return nullptr;
    if (!state->current) {
      state->current = std::move(running);
    } else {
      state->stragglers.push_back(std::move(running));  // a newer engine took the slot meanwhile
    }
    return raise_engine_error(stopped.error());
  }

  {
    GilRelease released;
    running.engine->stop();
    running.control->stop();  // removes vesk.sock and vesk.port, waits for its threads
    running.control.reset();
    running.engine.reset();
  }
  Py_RETURN_NONE;
}

PyObject* status(PyObject*, PyObject* args, PyObject* kwargs) {
  drain_deferred_releases();
  PyObject* bound[1];
  if (!bind_arguments("status", kStatusParams, args, kwargs, bound)) return nullptr;
  std::string name;
  if (!utf8_of(bound[0], "name", name)) return nullptr;
  GlobalStateLock state;
  if (!state.ok()) return nullptr;
  if (!state->current) Py_RETURN_NONE;
  const auto found = state->current->engine->status(name);
  if (!found) Py_RETURN_NONE;
  return status_dict(*found);
}

PyObject* list(PyObject*, PyObject* args, PyObject* kwargs) {
  drain_deferred_releases();
  PyObject* none[1];
  if (!bind_arguments("list", std::span<const Parameter>(), args, kwargs, std::span<PyObject*>(none, 0))) {
    return nullptr;
  }
  GlobalStateLock state;
  if (!state.ok()) return nullptr;
  if (!state->current) return PyList_New(0);
  const std::vector<TimerStatus> statuses = state->current->engine->list();
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(statuses.size())));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    PyObject* dict = status_dict(statuses[i]);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), dict);
  }
  return result.release();
}

void stop_at_exit() {
  mark_exiting();
  GlobalStateLock state;
  if (!state.ok()) {
    PyErr_Clear();
    return;
  }
  if (state->current) {
    GilRelease released;
    (void)state->current->engine->shutdown(std::chrono::nanoseconds(0));
  }
}

}  // namespace vesk::py
