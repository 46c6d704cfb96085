// The `schedule(name, **kwargs)` module function: turns its arguments into a
// Registration and either queues it (before `start`) or registers it with the
// running engine.
#include "registration.h"

#include <datetime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.h"
#include "callable_handler.h"
#include "engine/engine.h"
#include "errors.h"
#include "global_state.h"
#include "py_ref.h"
#include "time/civil.h"
#include "time/instant.h"
#include "timer/duration.h"
#include "timer/retry.h"
#include "timer/schedule.h"

namespace vesk::py {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::int64_t kMicrosPerSecond = 1'000'000;

// ---------------------------------------------------------------------------
// The `at` text: an RFC 3339 date-time. A rejected text is described by the
// first problem met reading it, so a text both cut short and out of range
// reports whichever comes first.

std::string_view describe(Rfc3339Problem problem) {
  switch (problem) {
    case Rfc3339Problem::kPrematureEnd:
      return "premature end of input";
    case Rfc3339Problem::kInvalid:
      return "input contains invalid characters";
    case Rfc3339Problem::kTrailing:
      return "trailing input";
    case Rfc3339Problem::kOutOfRange:
      return "input is out of range";
    case Rfc3339Problem::kImpossible:
      return "no possible date and time matching input";
  }
  return {};
}

// The instant of an `at` text, or a ValueError "invalid at datetime: ...".
std::optional<Instant> parse_at_text(std::string_view text) {
  auto at = read_rfc3339(text);
  if (at) return *at;
  raise_value_error(std::string("invalid at datetime: ") + std::string(describe(at.error())));
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The `at` datetime: an aware datetime.datetime.

bool datetime_api_ready() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
  }
  return PyDateTimeAPI != nullptr;
}

// type(value).__name__, for messages.
std::string type_name(PyObject* value) {
  std::string name = "<unknown type>";
  if (PyObject* n = PyType_GetName(Py_TYPE(value))) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(n, &size)) name.assign(text, static_cast<std::size_t>(size));
    Py_DECREF(n);
  }
  PyErr_Clear();  // the name only decorates the message that follows
  return name;
}

void raise_bad_at(PyObject* value) {
  raise_value_error("at must be timezone-aware datetime or RFC3339 string, got " + type_name(value));
}

// The UTC instant of an aware datetime, exact to the microsecond. Going
// through .timestamp() would round through a double and lose microseconds
// for dates far from 1970, so the offset is subtracted in whole integers.
// Sets `naive` (and returns nothing, no exception) when utcoffset() is None.
std::optional<Instant> instant_of_datetime(PyObject* value, bool& naive) {
  naive = false;
  Ref offset = Ref::steal(PyObject_CallMethod(value, "utcoffset", nullptr));
  if (!offset) return std::nullopt;
  if (offset.get() == Py_None) {
    naive = true;
    return std::nullopt;
  }
  if (!PyDelta_Check(offset.get())) {
    PyErr_Format(PyExc_TypeError, "utcoffset() must return None or timedelta, not %.200s",
                 Py_TYPE(offset.get())->tp_name);
    return std::nullopt;
  }
  const std::int64_t days = civil::days_from_civil(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                                                   PyDateTime_GET_DAY(value));
  const std::int64_t local_seconds = days * kSecondsPerDay + PyDateTime_DATE_GET_HOUR(value) * 3600 +
                                     PyDateTime_DATE_GET_MINUTE(value) * 60 + PyDateTime_DATE_GET_SECOND(value);
  const std::int64_t offset_micros =
      (static_cast<std::int64_t>(PyDateTime_DELTA_GET_DAYS(offset.get())) * kSecondsPerDay +
       PyDateTime_DELTA_GET_SECONDS(offset.get())) *
          kMicrosPerSecond +
      PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
  const std::int64_t utc_micros =
      local_seconds * kMicrosPerSecond + PyDateTime_DATE_GET_MICROSECOND(value) - offset_micros;
  // Floor division: the nanos of an instant are never negative.
  std::int64_t seconds = utc_micros / kMicrosPerSecond;
  std::int64_t micros = utc_micros % kMicrosPerSecond;
  if (micros < 0) {
    micros += kMicrosPerSecond;
    --seconds;
  }
  const Instant at{seconds, static_cast<std::uint32_t>(micros * 1000)};
  if (at < Instant::kMin || at > Instant::kMax) {
    // Only an offset can carry a datetime (years 1..9999) outside the
    // instants of years 0..9999; Python's own UTC conversion fails alike.
    PyErr_SetString(PyExc_OverflowError, "date value out of range");
    return std::nullopt;
  }
  return at;
}

// The instant of an `at` value of any type, or nothing with an exception set.
std::optional<Instant> parse_at(PyObject* value) {
  if (PyUnicode_Check(value)) {
    std::string text;
    if (!utf8_of(value, "", text)) return std::nullopt;
    return parse_at_text(text);
  }
  if (!datetime_api_ready()) return std::nullopt;
  if (!PyDateTime_Check(value)) {
    raise_bad_at(value);
    return std::nullopt;
  }
  bool naive = false;
  std::optional<Instant> at = instant_of_datetime(value, naive);
  if (naive) raise_bad_at(value);
  return at;
}

// ---------------------------------------------------------------------------
// Arguments.

// A keyword argument as an owned reference (the lookups below run Python
// code, which must not be able to pull a borrowed value out from under us);
// empty when absent.
Ref keyword(PyObject* kwargs, const char* key) {
  if (kwargs == nullptr) return {};
  return Ref::borrow(PyDict_GetItemString(kwargs, key));
}

// Binds `name` the way Python binds `def schedule(name, **kwargs)`.
// `name_from_keywords` tells whether it came in as name=...
bool bind_name(PyObject* args, PyObject* kwargs, std::string& name, bool& name_from_keywords) {
  const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (positional > 1) {
    PyErr_Format(PyExc_TypeError, "schedule() takes 1 positional argument but %zd were given", positional);
    return false;
  }
  Ref by_keyword = keyword(kwargs, "name");
  name_from_keywords = static_cast<bool>(by_keyword);
  Ref value;
  if (positional == 1) {
    if (by_keyword) {
      PyErr_SetString(PyExc_TypeError, "schedule() got multiple values for argument 'name'");
      return false;
    }
    value = Ref::borrow(PyTuple_GET_ITEM(args, 0));
  } else if (by_keyword) {
    value = std::move(by_keyword);
  } else {
    PyErr_SetString(PyExc_TypeError, "schedule() missing 1 required positional argument: 'name'");
    return false;
  }
  return utf8_of(value.get(), "name", name);
}

// fn.__name__ when it is a str, else repr(fn), else "<callable>". Whatever
// fails along the way is dropped: the name only labels the timer.
std::string callable_name(PyObject* fn) {
  std::string name;
  if (Ref attr = Ref::steal(PyObject_GetAttrString(fn, "__name__")); attr && PyUnicode_Check(attr.get())) {
    if (utf8_of(attr.get(), "", name)) return name;
  }
  PyErr_Clear();
  if (Ref repr = Ref::steal(PyObject_Repr(fn)); repr && utf8_of(repr.get(), "", name)) return name;
  PyErr_Clear();
  return "<callable>";
}

// An optional str keyword; `present` tells whether it was given at all.
bool optional_text(PyObject* kwargs, const char* key, bool& present, std::string& out) {
  Ref value = keyword(kwargs, key);
  present = static_cast<bool>(value);
  if (!present) return true;
  return utf8_of(value.get(), "", out);
}

bool duration_seconds(const std::string& text, std::uint64_t& out) {
  auto seconds = parse_duration(text);
  if (!seconds) {
    raise_value_error(seconds.error().message());
    return false;
  }
  out = *seconds;
  return true;
}

// The one schedule among cron, every, after and at.
std::optional<Schedule> read_schedule(PyObject* kwargs) {
  bool has_cron = false, has_every = false, has_after = false;
  std::string cron, every, after;
  if (!optional_text(kwargs, "cron", has_cron, cron) || !optional_text(kwargs, "every", has_every, every) ||
      !optional_text(kwargs, "after", has_after, after)) {
    return std::nullopt;
  }
  // at=None counts as given: it is rejected below as a value, not ignored.
  Ref at = keyword(kwargs, "at");
  const int given = int{has_cron} + int{has_every} + int{has_after} + int{static_cast<bool>(at)};
  if (given != 1) {
    raise_value_error("schedule() requires exactly one of cron, every, after, at");
    return std::nullopt;
  }
  if (has_cron) return CronSchedule{std::move(cron)};
  std::uint64_t seconds = 0;
  if (has_every) {
    if (!duration_seconds(every, seconds)) return std::nullopt;
    return EverySchedule{seconds};
  }
  if (has_after) {
    if (!duration_seconds(after, seconds)) return std::nullopt;
    // The delay counts from the call, whenever the engine starts.
    return AfterSchedule{seconds, Instant::now()};
  }
  std::optional<Instant> instant = parse_at(at.get());
  if (!instant) return std::nullopt;
  return AtSchedule{*instant};
}

}  // namespace

bool register_with_engine(Engine& engine, Registration registration) {
  auto handler = std::make_shared<PyCallableHandler>(registration.fn_name, std::move(registration.callable));
  Result<void> registered;
  {
    // The engine appends to its log and may drop the handler it replaces
    // while holding its own lock. Without the interpreter lock, that old
    // callable's release is deferred rather than run (with arbitrary
    // finalizers) under the engine lock, and threads waiting for the
    // interpreter lock are not held up by the log write.
    GilRelease release;
    registered = engine.register_timer(registration.name, std::move(registration.schedule), registration.retry,
                                       registration.timezone, std::move(handler));
  }
  if (!registered) {
    raise_engine_error(registered.error());
    return false;
  }
  return true;
}

PyObject* schedule(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  std::string name;
  bool name_from_keywords = false;
  if (!bind_name(args, kwargs, name, name_from_keywords)) return nullptr;

  const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
  if (keywords - (name_from_keywords ? 1 : 0) == 0) return raise_value_error("schedule() requires keyword args");

  Ref fn = keyword(kwargs, "fn");
  if (!fn) return raise_value_error("schedule() requires fn=<callable>");
  if (!PyCallable_Check(fn.get())) return raise_value_error("fn must be callable");

  std::string fn_name = callable_name(fn.get());

  std::string timezone = "UTC";
  if (Ref zone = keyword(kwargs, "timezone"); zone && !utf8_of(zone.get(), "", timezone)) return nullptr;

  RetryPolicy retry;  // the default backoff; only the attempts can be chosen here
  if (Ref attempts = keyword(kwargs, "max_attempts");
      attempts && !read_max_attempts(attempts.get(), retry.max_attempts)) {
    return nullptr;
  }

  std::optional<Schedule> when = read_schedule(kwargs);
  if (!when) return nullptr;

  Registration registration{
      std::move(name),
      std::move(*when),
      std::move(timezone),
      retry,
      std::move(fn_name),
      std::move(fn),
  };

  GlobalStateLock lock;
  if (!lock.ok()) return nullptr;
  if (!lock->current) {
    // Registered with the engine when `start` opens it.
    lock->pending.push_back(std::move(registration));
    Py_RETURN_NONE;
  }
  if (!register_with_engine(*lock->current->engine, std::move(registration))) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace vesk::py
