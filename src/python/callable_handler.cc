#include "callable_handler.h"

#include <cxxabi.h>

#include <array>
#include <exception>
#include <string_view>
#include <utility>

namespace vesk::py {
namespace {

constexpr std::string_view kShuttingDown = "interpreter is shutting down";
constexpr std::string_view kNoException = "SystemError: attempted to fetch exception but none was set";

// The UTF-8 text of a str; lone surrogates become backslash escapes so the
// text can always be written to the log.
bool text_of(PyObject* str, std::string& out) {
  if (!PyUnicode_Check(str)) return false;
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(str, &size)) {
    out.assign(text, static_cast<std::size_t>(size));
    return true;
  }
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return false;
  }
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

// The pending exception, taken off the indicator, as failure text.
std::string take_error_text() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return std::string(kNoException);
  return python_error_text(exception.get());
}

// Whether the callable takes a positional argument, from its signature. A
// callable whose signature cannot be read (or reads oddly) is called bare.
// Errors are discarded.
bool takes_payload(PyObject* callable) {
  static constexpr std::array<std::string_view, 3> kPositional = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD",
                                                                  "VAR_POSITIONAL"};
  auto decide = [callable]() -> bool {
    Ref signature_fn = import_attribute("inspect", "signature");
    if (!signature_fn) return false;
    Ref signature = Ref::steal(PyObject_CallOneArg(signature_fn.get(), callable));
    if (!signature) return false;
    Ref parameters = Ref::steal(PyObject_GetAttrString(signature.get(), "parameters"));
    if (!parameters) return false;
    Ref values = Ref::steal(PyObject_CallMethod(parameters.get(), "values", nullptr));
    if (!values) return false;
    Ref list_type = import_attribute("builtins", "list");
    if (!list_type) return false;
    Ref list = Ref::steal(PyObject_CallOneArg(list_type.get(), values.get()));
    if (!list || !PyList_Check(list.get())) return false;
    // The list may be changed by the attribute reads below, so its size is
    // read afresh on every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      Ref parameter = Ref::borrow(PyList_GET_ITEM(list.get(), i));
      Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "kind"));
      if (!kind) return false;
      Ref kind_name = Ref::steal(PyObject_GetAttrString(kind.get(), "name"));
      if (!kind_name || !PyUnicode_Check(kind_name.get())) return false;
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(kind_name.get(), &size);
      if (text == nullptr) return false;
      const std::string_view name(text, static_cast<std::size_t>(size));
      for (std::string_view positional : kPositional) {
        if (name == positional) return true;
      }
    }
    return false;
  };
  const bool payload = decide();
  PyErr_Clear();
  return payload;
}

// Whether a returned object is a coroutine to be run: native coroutines,
// and anything asyncio itself accepts as one. An error while asking is
// left set and reported as -1.
int is_coroutine(PyObject* result) {
  if (PyCoro_CheckExact(result)) return 1;
  if (result == Py_None) return 0;  // spares importing asyncio for plain functions
  Ref check = import_attribute("asyncio", "iscoroutine");
  if (!check) return -1;
  Ref answer = Ref::steal(PyObject_CallOneArg(check.get(), result));
  if (!answer) return -1;
  return PyObject_IsTrue(answer.get());
}

// Runs a coroutine to completion on a fresh event loop on this thread.
std::expected<void, std::string> run_coroutine(PyObject* coroutine) {
  Ref run = import_attribute("asyncio", "run");
  if (!run) return std::unexpected(take_error_text());
  Ref outcome = Ref::steal(PyObject_CallOneArg(run.get(), coroutine));
  if (outcome) return {};
  std::string text = take_error_text();
  // When the loop could not even start, the coroutine was never awaited:
  // closing it spares the "never awaited" warning. A finished coroutine
  // ignores this.
  Ref closed = Ref::steal(PyObject_CallMethod(coroutine, "close", nullptr));
  if (!closed) PyErr_Clear();
  return std::unexpected(std::move(text));
}

}  // namespace

std::expected<void, std::string> call_to_completion(PyObject* callable, PyObject* argument) {
  Ref result = Ref::steal(argument != nullptr ? PyObject_CallOneArg(callable, argument) : PyObject_CallNoArgs(callable));
  if (!result) return std::unexpected(take_error_text());
  // An async function's body only runs when its coroutine is driven; its
  // failure is the call's failure.
  const int coroutine = is_coroutine(result.get());
  if (coroutine < 0) return std::unexpected(take_error_text());
  if (coroutine > 0) return run_coroutine(result.get());
  return {};
}

PyCallableHandler::PyCallableHandler(std::string fn_name, Ref callable)
    : fn_name_(std::move(fn_name)), callable_(std::move(callable)) {}

PyCallableHandler::~PyCallableHandler() {
  // The engine may drop its handlers under its own lock or on a thread
  // without the interpreter lock; the release waits for the next holder.
  if (PyObject* callable = callable_.release()) defer_release(callable);
}

std::expected<void, std::string> PyCallableHandler::call(const std::string& timer_id, const std::string& run_id) {
  if (exiting() || interpreter_finalizing()) return std::unexpected(std::string(kShuttingDown));
  try {
    // This handler's lock before the interpreter lock: a second run of the
    // same timer then waits here without holding the interpreter lock,
    // which the first run needs to make progress.
    std::lock_guard lock(mutex_);
    if (exiting() || interpreter_finalizing()) return std::unexpected(std::string(kShuttingDown));
    Gil gil;
    std::expected<void, std::string> outcome;
    try {
      PyObject* callable = callable_.get();
      if (takes_payload(callable)) {
        Ref payload = Ref::steal(PyDict_New());
        Ref timer = Ref::steal(PyUnicode_FromStringAndSize(timer_id.data(), static_cast<Py_ssize_t>(timer_id.size())));
        Ref run = Ref::steal(PyUnicode_FromStringAndSize(run_id.data(), static_cast<Py_ssize_t>(run_id.size())));
        if (payload && timer && run && PyDict_SetItemString(payload.get(), "timer_id", timer.get()) == 0 &&
            PyDict_SetItemString(payload.get(), "run_id", run.get()) == 0) {
          outcome = call_to_completion(callable, payload.get());
        } else {
          outcome = std::unexpected(take_error_text());
        }
      } else {
        outcome = call_to_completion(callable, nullptr);
      }
    } catch (abi::__forced_unwind&) {
      // The interpreter finalizes and ended this thread while it waited to
      // take the lock back: it does not hold the lock.
      gil.abandon();
      throw;
    }
    PyErr_Clear();
    return outcome;
  } catch (abi::__forced_unwind&) {
    // A thread that touches the interpreter while it finalizes is ended by
    // pthread_exit; that unwinding must run to its end.
    throw;
  } catch (const std::exception& e) {
    return std::unexpected(std::string("internal error: ") + e.what());
  } catch (...) {
    return std::unexpected(std::string("internal error: unknown exception"));
  }
}

std::string python_error_text(PyObject* exception) {
  std::string text = "<unknown exception>";
  {
    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__"));
    std::string name;
    if (qualname && text_of(qualname.get(), name)) text = std::move(name);
    PyErr_Clear();
  }
  text += ": ";
  Ref message = Ref::steal(PyObject_Str(exception));
  std::string body;
  if (message && text_of(message.get(), body)) {
    text += body;
  } else {
    PyErr_Clear();  // the second exception says nothing about the run
    text += "<exception str() failed>";
  }
  return text;
}

}  // namespace vesk::py
