// The engine: the timer table, the due-timer heap and the registered
// functions behind one lock, a scheduler thread that fires due timers, and a
// pool of threads that runs them.
//
// Every change is an event appended to the log and synced before it is
// applied to the table and acted on. A failed append in the run path stops
// the engine for good.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/clock.h"
#include "engine/thread_pool.h"
#include "engine/timer_handler.h"
#include "engine/timer_status.h"
#include "error.h"
#include "storage/data_dir.h"
#include "timer/retry.h"
#include "timer/schedule.h"

namespace vesk {

struct DueEntry;

class Engine {
 public:
  struct Options {
    std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
    // How long a run thread waits for new work before it ends.
    std::chrono::milliseconds idle_thread_timeout = std::chrono::seconds(10);
  };

  // Takes over an opened data directory. Every timer of the rebuilt table is
  // orphaned and has no queued fire until its function is registered again.
  static std::shared_ptr<Engine> create(OpenedStorage storage, Options options);
  static std::shared_ptr<Engine> create(OpenedStorage storage) { return create(std::move(storage), Options{}); }

  // Ends the scheduler thread and waits for every run thread, including
  // runs whose function is still executing.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Declares a timer or re-attaches its function. A new or changed
  // spec is logged first (TIMER_CREATED / TIMER_UPDATED; an
  // unchanged one logs nothing and keeps its creation instant). The first
  // fire is queued unless one is queued already or a run of the timer is
  // executing or awaiting a retry. Bad cron texts and zones are accepted and
  // leave the timer without a next run.
  [[nodiscard]] Result<void> register_timer(const std::string& id, Schedule schedule, std::optional<RetryPolicy> retry,
                                            std::optional<std::string> timezone,
                                            std::shared_ptr<TimerHandler> handler);

  std::optional<TimerStatus> status(const std::string& id) const;
  std::vector<TimerStatus> list() const;
  // How many timers `list` would show, without building their statuses.
  std::size_t timer_count() const;

  // Starts the scheduler thread: "engine already started" the second time,
  // "engine has already been shut down" after a shutdown or a failed append.
  [[nodiscard]] Result<void> start_scheduler();

  // Stops new runs and waits up to `limit` for runs in flight to end. On a
  // time-out the engine keeps stopping and a later shutdown may succeed.
  [[nodiscard]] Result<void> shutdown(std::chrono::nanoseconds limit);

  // Ends the scheduler thread after a successful shutdown.
  void stop();

  // Snapshot and log rotation, under the engine lock.
  [[nodiscard]] Result<void> compact();

  const std::string& data_dir() const;
  const std::string& lock_path() const;

  struct Core;

 private:
  friend class EngineTestAccess;
  Engine(std::shared_ptr<Core> core, std::chrono::milliseconds idle_thread_timeout);
  void run_loop();
  void drop_runs(std::span<const DueEntry> entries);

  std::shared_ptr<Core> core_;
  ThreadPool pool_;
  std::mutex scheduler_mutex_;  // guards scheduler_ (start and stop)
  std::thread scheduler_;
};

}  // namespace vesk
