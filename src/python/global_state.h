// The process's one engine slot and the registrations queued before start.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "ipc/server.h"
#include "registration.h"

namespace vesk::py {

struct RunningEngine {
  std::shared_ptr<Engine> engine;
  std::unique_ptr<ipc::Server> control;  // the control channel beside it
};

struct GlobalStateData {
  std::optional<RunningEngine> current;
  std::vector<Registration> pending;
  // Engines whose shutdown timed out while a newer one had started: kept
  // alive (they may still be finishing runs) but no longer reachable.
  std::vector<RunningEngine> stragglers;
};

// A scoped hold of the global state lock, taken without the interpreter
// lock so that a thread holding it (for instance `start`, while it opens
// storage with the interpreter lock released) can always go on.
class GlobalStateLock {
 public:
  // Call with the interpreter lock held. On a poisoned lock, raises
  // RuntimeError and `ok()` is false.
  GlobalStateLock();
  ~GlobalStateLock();
  GlobalStateLock(const GlobalStateLock&) = delete;
  GlobalStateLock& operator=(const GlobalStateLock&) = delete;

  bool ok() const { return data_ != nullptr; }
  GlobalStateData& operator*() const { return *data_; }
  GlobalStateData* operator->() const { return data_; }
  // Marks the lock poisoned for good (an invariant broke while holding it).
  void poison();

 private:
  std::unique_lock<std::mutex> lock_;
  GlobalStateData* data_ = nullptr;
};

}  // namespace vesk::py
