#include "engine/engine.h"

#include <cxxabi.h>

#include <algorithm>
#include <span>

#include "engine/engine_core.h"
#include "run_id.h"
#include "storage/event_log.h"
#include "storage/snapshot.h"

namespace vesk {

namespace {

// One run of a timer, from its due entry to its settled outcome. Every path
// ends at the bottom exactly once.
void run_task(const std::shared_ptr<Engine::Core>& core, const DueEntry& entry) {
  Engine::Core& c = *core;
  const std::string& timer_id = entry.timer_id;
  std::shared_ptr<TimerHandler> handler;
  std::optional<TimerSpec> spec;
  std::string run_id;
  Instant started;
  bool recorded = false;
  {
    std::lock_guard lock(c.mutex);
    started = c.clock->now();
    run_id = entry.run_id ? *entry.run_id : new_run_id(started);
    if (TimerRecord* record = c.table.find(timer_id)) record->next_run.reset();
    recorded = c.append_and_apply(RunDue{timer_id, run_id, entry.due}) &&
               c.append_and_apply(RunStarted{timer_id, run_id, started, entry.attempt});
    if (recorded) {
      if (const auto it = c.handlers.find(timer_id); it != c.handlers.end()) handler = it->second;
      if (const TimerRecord* record = c.table.find(timer_id)) spec = record->spec;
    }
  }

  std::expected<void, std::string> outcome;
  const bool execute = recorded && spec && handler;
  if (execute) {
    try {
      outcome = handler->call(timer_id, run_id);
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended (pthread_exit): let it unwind
    } catch (const std::exception& e) {
      outcome = std::unexpected(std::string("task panicked: ") + e.what());
    } catch (...) {
      outcome = std::unexpected(std::string("task panicked: unknown failure"));
    }
  }

  {
    std::lock_guard lock(c.mutex);
    if (recorded && spec) {
      const Instant finished = c.clock->now();
      if (!handler) {
        c.settle_orphaned(timer_id);
      } else if (outcome) {
        c.settle_success(*spec, run_id, started, finished);
      } else {
        c.settle_failure(*spec, run_id, finished, std::move(outcome.error()));
      }
    }
    c.end_run(timer_id);
  }
  c.idle.notify();
}

// The loop wakes at least this often even when nothing is due sooner, so a
// change of the system clock is noticed within that time.
constexpr std::int64_t kLongestSleepMs = 1000;

}  // namespace

Engine::Engine(std::shared_ptr<Core> core, std::chrono::milliseconds idle_thread_timeout)
    : core_(std::move(core)), pool_(idle_thread_timeout) {}

std::shared_ptr<Engine> Engine::create(OpenedStorage storage, Options options) {
  open_rebuilt(storage.table);
  auto core = std::make_shared<Core>(std::move(storage), std::move(options.clock));
  return std::shared_ptr<Engine>(new Engine(std::move(core), options.idle_thread_timeout));
}

Engine::~Engine() { stop(); }

void Engine::stop() {
  {
    std::lock_guard lock(core_->mutex);
    core_->loop_exit = true;
  }
  core_->wake.notify();
  std::lock_guard lock(scheduler_mutex_);
  if (scheduler_.joinable()) scheduler_.join();
}

const std::string& Engine::data_dir() const { return core_->data_dir; }
const std::string& Engine::lock_path() const { return core_->lock_path; }

Result<void> Engine::register_timer(const std::string& id, Schedule schedule, std::optional<RetryPolicy> retry,
                                    std::optional<std::string> timezone, std::shared_ptr<TimerHandler> handler) {
  std::string fn_name = handler->name();
  Core& c = *core_;
  std::lock_guard lock(c.mutex);
  if (c.stopping || c.closed) return std::unexpected(EngineError::shut_down());

  const TimerRecord* known = c.table.find(id);
  const TimerSpec* existing = known && known->spec ? &*known->spec : nullptr;
  TimerSpec spec{id, std::move(schedule), retry.value_or(RetryPolicy{}), timezone.value_or("UTC"),
                 existing ? existing->created_at : c.clock->now()};
  if (!existing) {
    Event created = TimerCreated{spec};
    if (auto appended = append_event(c.log, created); !appended) return appended;
    vesk::apply(c.table, created);
  } else if (!(*existing == spec)) {
    Event updated = TimerUpdated{spec};
    if (auto appended = append_event(c.log, updated); !appended) return appended;
    vesk::apply(c.table, updated);
    c.release_busy(id, static_cast<std::uint32_t>(c.heap.remove_timer(id)));
    c.table.at(id).next_run.reset();
  }

  c.handlers[id] = std::move(handler);
  TimerRecord& record = c.table.at(id);
  record.fn_name = std::move(fn_name);
  if (!record.state || *record.state == TimerState::kOrphaned) record.state = TimerState::kScheduled;

  if (!record.next_run && !c.busy.contains(id)) c.reschedule(spec, c.clock->now());
  return {};
}

std::optional<TimerStatus> Engine::status(const std::string& id) const {
  std::lock_guard lock(core_->mutex);
  return status_of(core_->table, id);
}

std::vector<TimerStatus> Engine::list() const {
  std::lock_guard lock(core_->mutex);
  std::vector<TimerStatus> statuses;
  statuses.reserve(core_->table.timers.size());
  for (const auto& [id, record] : core_->table.timers) {
    if (!record.spec) continue;
    if (auto status = status_of(id, record)) statuses.push_back(std::move(*status));
  }
  return statuses;
}

std::size_t Engine::timer_count() const {
  std::lock_guard lock(core_->mutex);
  return static_cast<std::size_t>(std::ranges::count_if(
      core_->table.timers, [](const auto& entry) { return entry.second.spec && entry.second.state; }));
}

Result<void> Engine::start_scheduler() {
  {
    std::lock_guard lock(core_->mutex);
    if (core_->closed) return std::unexpected(EngineError::shut_down());
    if (core_->started) return std::unexpected(EngineError::already_started());
    core_->started = true;
  }
  std::lock_guard lock(scheduler_mutex_);
  scheduler_ = std::thread([this] {
    try {
      run_loop();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // Out of memory in the loop's bookkeeping: no further run can be
      // trusted to be recorded, so the engine stops as after a failed append.
      std::lock_guard lock(core_->mutex);
      core_->closed = true;
      core_->stopping = true;
    }
    core_->idle.notify();
  });
  return {};
}

void Engine::drop_runs(std::span<const DueEntry> entries) {
  Core& c = *core_;
  {
    LockAhead lock(c.mutex);
    for (const DueEntry& entry : entries) c.end_run(entry.timer_id);
  }
  c.idle.notify();
}

void Engine::run_loop() {
  Core& c = *core_;
  while (true) {
    std::vector<DueEntry> due;
    std::optional<Instant> earliest;
    {
      LockAhead lock(c.mutex);
      if (c.loop_exit) return;
      if (c.stopping) {
        const bool idle = c.in_flight == 0;
        lock.unlock();
        if (idle) c.idle.notify();
        return;
      }
      due = c.heap.take_due(c.clock->now());
      earliest = c.heap.earliest_due();
      // A regular fire leaving the heap makes its timer busy until the run
      // ends; a retry was counted when it was queued.
      for (const DueEntry& entry : due) {
        if (!entry.run_id) ++c.busy[entry.timer_id];
      }
      // The whole batch is in flight from here, so spawning it needs the
      // lock again only for a run that is dropped. Taking the lock once per
      // run would make every spawn wait for a synced append of a run ahead.
      c.in_flight += due.size();
    }

    for (std::size_t i = 0; i < due.size(); ++i) {
      // A shutdown that began meanwhile drops what is left, neither run nor
      // put back.
      if (c.stopping.load()) {
        drop_runs(std::span<const DueEntry>(due).subspan(i));
        break;
      }
      try {
        pool_.submit([core = core_, entry = due[i]] { run_task(core, entry); });
      } catch (...) {
        drop_runs(std::span<const DueEntry>(due).subspan(i, 1));  // no thread for it
      }
    }

    std::int64_t sleep_ms = 100;
    if (earliest) {
      const std::int64_t left = whole_millis_between(c.clock->now(), *earliest);
      sleep_ms = left < 1 ? 0 : std::min(left, kLongestSleepMs);
    }
    c.wake.wait_for(std::chrono::milliseconds(sleep_ms));
  }
}

Result<void> Engine::shutdown(std::chrono::nanoseconds limit) {
  Core& c = *core_;
  {
    std::lock_guard lock(c.mutex);
    if (c.closed) return {};
    if (!c.started) {
      c.closed = true;
      return {};
    }
    c.stopping = true;
  }
  c.wake.notify();

  using SteadyClock = std::chrono::steady_clock;
  const auto now = SteadyClock::now();
  const bool bounded = limit < SteadyClock::time_point::max() - now;
  const auto deadline = bounded ? now + std::chrono::duration_cast<SteadyClock::duration>(limit)
                                : SteadyClock::time_point::max();
  while (true) {
    const std::uint64_t ticket = c.idle.ticket();
    {
      std::lock_guard lock(c.mutex);
      if (c.in_flight == 0) {
        c.closed = true;
        return {};
      }
    }
    if (bounded) {
      if (!c.idle.wait_until(ticket, deadline)) {
        return std::unexpected(EngineError::shutdown_timeout(
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count())));
      }
    } else {
      c.idle.wait(ticket);
    }
  }
}

Result<void> Engine::compact() {
  Core& c = *core_;
  std::lock_guard lock(c.mutex);
  auto compacted = compact_log(c.data_dir, c.table, c.log);
  // The log could not be moved to a file recovery reads: stop as after a
  // failed append rather than write events that would be lost.
  if (!compacted && !c.log.is_open()) c.stop_after_failed_append(compacted.error());
  return compacted;
}

}  // namespace vesk
