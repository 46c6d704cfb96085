// A mutex that is handed to its waiters in the order they asked for it.
//
// The engine lock is held across synced appends, so it is often contended
// for hundreds of microseconds at a time. An ordinary mutex lets whoever asks
// last slip in first; runs due together would then start behind the
// settlements of runs that only finished after them. Handing the lock over
// in arrival order keeps each waiter's delay to the work queued before it.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

namespace vesk {

class FairMutex {
 public:
  void lock() { acquire(false); }

  // Takes the lock before every waiter already queued: for the scheduler
  // loop, whose short holds hand out the runs that everyone else waits for.
  void lock_ahead() { acquire(true); }

  void unlock() {
    std::lock_guard guard(state_);
    if (waiters_.empty()) {
      held_ = false;
      return;
    }
    Waiter* next = waiters_.front();
    waiters_.pop_front();
    next->granted = true;
    next->wake.notify_one();
  }

 private:
  struct Waiter {
    std::condition_variable wake;
    bool granted = false;
  };

  void acquire(bool ahead) {
    std::unique_lock guard(state_);
    if (!held_ && waiters_.empty()) {
      held_ = true;
      return;
    }
    Waiter self;
    if (ahead) {
      waiters_.push_front(&self);
    } else {
      waiters_.push_back(&self);
    }
    self.wake.wait(guard, [&] { return self.granted; });
    // The releasing owner handed the lock straight to us: `held_` stayed set.
  }

  std::mutex state_;
  bool held_ = false;
  std::deque<Waiter*> waiters_;
};

// A scoped hold of a FairMutex taken with `lock_ahead`.
class LockAhead {
 public:
  explicit LockAhead(FairMutex& mutex) : mutex_(mutex) { mutex_.lock_ahead(); }
  ~LockAhead() {
    if (held_) mutex_.unlock();
  }
  LockAhead(const LockAhead&) = delete;
  LockAhead& operator=(const LockAhead&) = delete;
  void unlock() {
    mutex_.unlock();
    held_ = false;
  }

 private:
  FairMutex& mutex_;
  bool held_ = true;
};

}  // namespace vesk
