// The engine's timer table and the one function that applies events to it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "storage/events.h"
#include "time/instant.h"
#include "timer/schedule.h"

namespace vesk {

// Variants in declaration order.
enum class TimerState : std::uint8_t { kScheduled, kRunning, kRetrying, kDead, kOrphaned, kPaused, kCancelled };

inline constexpr std::array<std::string_view, 7> kTimerStateNames = {
    "Scheduled", "Running", "Retrying", "Dead", "Orphaned", "Paused", "Cancelled"};

inline std::string_view timer_state_name(TimerState state) {
  return kTimerStateNames[static_cast<std::size_t>(state)];
}
std::optional<TimerState> timer_state_from_name(std::string_view name);

struct LastRunInfo {
  std::string run_id;
  Instant finished_at;
  std::optional<std::uint64_t> duration_ms;
  std::string status;  // "OK", "FAILED: " + error, or "DEAD"
  friend bool operator==(const LastRunInfo&, const LastRunInfo&) = default;
};

struct PendingRetry {
  std::string run_id;
  Instant next_retry_at;
  std::uint32_t attempt = 0;  // the attempt the retry will make
  friend bool operator==(const PendingRetry&, const PendingRetry&) = default;
};

// Everything the table knows of one timer. Each field is one of the table's
// maps seen from a single timer: it is absent where that map has no entry.
// Keeping them together makes a status one lookup and a list one walk.
struct TimerRecord {
  std::optional<TimerSpec> spec;
  std::optional<TimerState> state;
  std::optional<std::string> fn_name;  // in memory only
  std::optional<LastRunInfo> last_run;
  std::optional<Instant> next_run;
  std::optional<std::uint32_t> retries_7d;
  std::optional<PendingRetry> pending_retry;
  friend bool operator==(const TimerRecord&, const TimerRecord&) = default;
};

struct TimerIdHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view id) const noexcept { return std::hash<std::string_view>{}(id); }
};

// The timer table, keyed by timer id. Every field but `fn_name` is durable:
// it is rebuilt from the snapshot and the log after a restart.
struct EngineState {
  using timers_type = std::unordered_map<std::string, TimerRecord, TimerIdHash, std::equal_to<>>;
  timers_type timers;

  // The record of `id`, created empty when missing.
  TimerRecord& at(const std::string& id) { return timers[id]; }
  TimerRecord* find(std::string_view id) {
    const auto it = timers.find(id);
    return it == timers.end() ? nullptr : &it->second;
  }
  const TimerRecord* find(std::string_view id) const {
    const auto it = timers.find(id);
    return it == timers.end() ? nullptr : &it->second;
  }

  // Equal in every durable field of every timer (`fn_name` aside).
  bool same_durable_content(const EngineState& other) const;
};

// Applies one event to the table, the same way live and on replay. Never
// fails; events for unknown timers create their entries.
void apply(EngineState& state, const Event& event);

// Makes a rebuilt table ready for a new engine: no queued fires, and every
// timer orphaned until its function is registered again.
void open_rebuilt(EngineState& state);

}  // namespace vesk
