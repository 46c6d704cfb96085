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

template <typename V>
using TimerMap = std::unordered_map<std::string, V>;

// Keyed by timer id. Every map but `fn_names` is durable: it is rebuilt from
// the snapshot and the log after a restart.
struct EngineState {
  TimerMap<TimerSpec> specs;
  TimerMap<TimerState> states;
  TimerMap<std::string> fn_names;  // in memory only
  TimerMap<LastRunInfo> last_runs;
  TimerMap<Instant> next_runs;
  TimerMap<std::uint32_t> retries_7d;
  TimerMap<PendingRetry> pending_retries;

  // The durable maps only.
  bool same_durable_content(const EngineState& other) const;
};

// Applies one event to the table, the same way live and on replay. Never
// fails; events for unknown timers create their entries.
void apply(EngineState& state, const Event& event);

// Makes a rebuilt table ready for a new engine: no queued fires, and every
// timer orphaned until its function is registered again.
void open_rebuilt(EngineState& state);

}  // namespace vesk
