// The engine's interior: everything behind the engine lock, and the
// bookkeeping steps of the run path that are taken with that lock held.
// Included by the engine and by its tests only.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/due_heap.h"
#include "engine/fair_mutex.h"
#include "engine/engine.h"
#include "engine/signals.h"
#include "engine/state.h"
#include "storage/event_log.h"

namespace vesk {

struct Engine::Core {
  Core(OpenedStorage storage, std::shared_ptr<const Clock> clock)
      : data_dir(std::move(storage.data_dir)),
        lock_path(storage.lock.path()),
        clock(std::move(clock)),
        lock_file(std::move(storage.lock)),
        log(std::move(storage.log)),
        table(std::move(storage.table)) {}

  const std::string data_dir;
  const std::string lock_path;
  const std::shared_ptr<const Clock> clock;
  WakeSignal wake;
  IdleSignal idle;

  FairMutex mutex;  // the engine lock: everything below
  DirectoryLock lock_file;
  AofWriter log;
  EngineState table;
  DueHeap heap;
  std::unordered_map<std::string, std::shared_ptr<TimerHandler>> handlers;
  // Per timer: runs executing plus retries waiting in the heap. A timer that
  // is busy gets no extra fire from a new registration; its run queues the
  // successor.
  std::unordered_map<std::string, std::uint32_t> busy;
  bool started = false;
  bool closed = false;
  std::atomic<bool> stopping = false;  // written under the lock; the loop may peek without it
  bool loop_exit = false;  // the scheduler thread is told to end
  std::uint64_t in_flight = 0;

  // ---- Called with `mutex` held.

  void stop_after_failed_append(const EngineError& error) {
    closed = true;
    stopping = true;
    const std::string line = "[vesk] ERROR: stopping engine after durable log append failed: " + error.message() + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    wake.notify();
  }

  // The one way the run path records an event: durable first, then applied.
  bool append_and_apply(const Event& event) {
    if (auto appended = append_event(log, event); !appended) {
      stop_after_failed_append(appended.error());
      return false;
    }
    vesk::apply(table, event);
    return true;
  }

  void queue(DueEntry entry) {
    if (entry.run_id) ++busy[entry.timer_id];
    heap.push(std::move(entry));
    wake.notify();
  }

  void release_busy(const std::string& timer_id, std::uint32_t count = 1) {
    const auto it = busy.find(timer_id);
    if (it == busy.end()) return;
    it->second = it->second > count ? it->second - count : 0;
    if (it->second == 0) busy.erase(it);
  }

  // A run (or a due entry dropped at shutdown) is over for `timer_id`.
  void end_run(const std::string& timer_id) {
    if (in_flight > 0) --in_flight;
    release_busy(timer_id);
  }

  // Queues the timer's next regular fire, unless stopping.
  void reschedule(const TimerSpec& spec, Instant now) {
    if (stopping || closed) return;
    const auto next = next_fire(spec.schedule, now, spec.timezone);
    if (next && *next) {
      table.at(spec.id).next_run = **next;
      queue(DueEntry{spec.id, std::nullopt, **next, 1});
    } else if (TimerRecord* record = table.find(spec.id)) {
      record->next_run.reset();
    }
  }

  void settle_orphaned(const std::string& timer_id) {
    TimerRecord* record = table.find(timer_id);
    if (record == nullptr) return;
    record->fn_name.reset();
    if (record->state == TimerState::kScheduled || record->state == TimerState::kRunning ||
        record->state == TimerState::kRetrying) {
      record->state = TimerState::kOrphaned;
    }
  }

  void settle_success(const TimerSpec& spec, const std::string& run_id, Instant started_at, Instant finished) {
    const std::int64_t elapsed_ms = whole_millis_between(started_at, finished);
    const std::uint64_t duration_ms = elapsed_ms > 0 ? static_cast<std::uint64_t>(elapsed_ms) : 0;
    if (append_and_apply(RunSucceeded{spec.id, run_id, finished, duration_ms})) reschedule(spec, finished);
  }

  void settle_failure(const TimerSpec& spec, const std::string& run_id, Instant finished, std::string error) {
    const TimerRecord* record = table.find(spec.id);
    const std::uint32_t attempt = record && record->pending_retry ? record->pending_retry->attempt : 1;
    if (!append_and_apply(RunFailed{spec.id, run_id, finished, std::move(error), attempt})) return;
    // A retry instant that cannot be represented leaves no attempt.
    if (const auto retry_at = next_attempt_at(spec.retry, attempt, finished)) {
      const std::uint32_t next_attempt = attempt + 1;
      if (!append_and_apply(RunRetrying{spec.id, run_id, next_attempt, *retry_at})) return;
      if (!stopping && !closed) queue(DueEntry{spec.id, run_id, *retry_at, next_attempt});
      return;
    }
    if (append_and_apply(RunDead{spec.id, run_id, finished}) && is_repeating(spec.schedule)) reschedule(spec, finished);
  }
};

}  // namespace vesk
