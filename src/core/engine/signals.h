// The two notifications between the scheduler loop, run tasks and shutdown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vesk {

// Wakes the scheduler loop. A signal given while nobody waits is kept (one
// permit), so a registration made while the loop is busy still ends its
// next sleep at once.
class WakeSignal {
 public:
  void notify() {
    {
      std::lock_guard lock(mutex_);
      permit_ = true;
    }
    cv_.notify_all();
  }

  // Waits until notified or `timeout` has passed; consumes the permit.
  void wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return permit_; });
    permit_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool permit_ = false;
};

// Raised at the end of every run; wakes all current waiters and keeps
// nothing. A waiter takes a ticket before it looks at the condition it waits
// for, so an end of run between the look and the wait is not missed.
class IdleSignal {
 public:
  std::uint64_t ticket() {
    std::lock_guard lock(mutex_);
    return generation_;
  }

  void notify() {
    {
      std::lock_guard lock(mutex_);
      ++generation_;
    }
    cv_.notify_all();
  }

  // Waits until a notification after `ticket` or until `deadline`; false on
  // reaching the deadline without one.
  bool wait_until(std::uint64_t ticket, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] { return generation_ != ticket; });
  }
  void wait(std::uint64_t ticket) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return generation_ != ticket; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t generation_ = 0;
};

}  // namespace vesk
