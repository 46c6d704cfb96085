#include "global_state.h"

#include "errors.h"

namespace vesk::py {
namespace {

struct GlobalState {
  std::mutex mutex;
  bool poisoned = false;
  GlobalStateData data;
};

// Never destroyed: at process exit a running engine's threads may still be
// at work, and destroying the engine would wait for them.
GlobalState& global_state() {
  static auto* state = new GlobalState();
  return *state;
}

}  // namespace

GlobalStateLock::GlobalStateLock() {
  GlobalState& state = global_state();
  lock_ = std::unique_lock(state.mutex, std::try_to_lock);
  if (!lock_.owns_lock()) {
    // The holder may be waiting for the interpreter lock (or be `start`
    // with it released): wait without it.
    GilRelease released;
    lock_.lock();
  }
  if (state.poisoned) {
    lock_.unlock();
    raise_runtime_error(kGlobalStatePoisoned);
    return;
  }
  data_ = &state.data;
}

GlobalStateLock::~GlobalStateLock() = default;

void GlobalStateLock::poison() {
  global_state().poisoned = true;
  data_ = nullptr;
}

}  // namespace vesk::py
