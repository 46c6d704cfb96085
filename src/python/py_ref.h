// Small RAII layer over the CPython API: owned references, the interpreter
// lock, and references released on threads that do not hold it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesk::py {

// Releases references whose owner let go of them without the interpreter
// lock; they are released the next time a thread takes the lock through
// `Gil` or calls `drain_deferred_releases` with the lock held.
void defer_release(PyObject* object);
void drain_deferred_releases();

// An owned (strong) reference. Destroying it without the interpreter lock is
// allowed: the release is then deferred.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset();

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Holds the interpreter lock for a scope, from any thread, emptying the
// deferred releases on the way in. An engine thread keeps its Python thread
// state between scopes, so that each run does not create and destroy one;
// the state goes when the thread ends.
class Gil {
 public:
  Gil();
  ~Gil();
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

  // For a thread that the interpreter ends (pthread_exit while it waits to
  // take the lock back during finalization): the lock is not held then, so
  // the end of the scope must leave it alone.
  void abandon() { abandoned_ = true; }

 private:
  bool nested_ = false;     // the thread held the lock already
  bool abandoned_ = false;
};

// Lets the interpreter lock go for a scope (the calling thread holds it).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// True once the process is exiting: from then on engine threads must not
// try to take the interpreter lock.
bool exiting();
void mark_exiting();

// `module.name`, importing the module (a new reference; null with the error
// set on failure). Needs the interpreter lock.
Ref import_attribute(const char* module, const char* name);

// Whether the interpreter is finalizing (the public call exists from 3.13 on).
bool interpreter_finalizing();

}  // namespace vesk::py
