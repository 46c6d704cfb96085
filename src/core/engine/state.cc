#include "engine/state.h"

namespace vesk {

std::optional<TimerState> timer_state_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kTimerStateNames.size(); ++i) {
    if (kTimerStateNames[i] == name) return static_cast<TimerState>(i);
  }
  return std::nullopt;
}

bool EngineState::same_durable_content(const EngineState& other) const {
  return specs == other.specs && states == other.states && last_runs == other.last_runs &&
         next_runs == other.next_runs && retries_7d == other.retries_7d && pending_retries == other.pending_retries;
}

namespace {

struct Applier {
  EngineState& s;

  void operator()(const TimerCreated& e) const {
    s.states[e.spec.id] = TimerState::kOrphaned;
    s.specs[e.spec.id] = e.spec;
  }
  void operator()(const TimerUpdated& e) const { s.specs[e.spec.id] = e.spec; }
  void operator()(const TimerPaused& e) const { s.states[e.timer_id] = TimerState::kPaused; }
  void operator()(const TimerResumed& e) const {
    s.states[e.timer_id] = s.fn_names.contains(e.timer_id) ? TimerState::kScheduled : TimerState::kOrphaned;
  }
  void operator()(const TimerCancelled& e) const { s.states[e.timer_id] = TimerState::kCancelled; }
  void operator()(const RunDue& e) const { s.states[e.timer_id] = TimerState::kRunning; }
  void operator()(const RunStarted& e) const { s.states[e.timer_id] = TimerState::kRunning; }
  void operator()(const RunSucceeded& e) const {
    s.states[e.timer_id] = TimerState::kScheduled;
    s.last_runs[e.timer_id] = LastRunInfo{e.run_id, e.finished_at, e.duration_ms, "OK"};
    s.pending_retries.erase(e.timer_id);
  }
  void operator()(const RunFailed& e) const {
    s.last_runs[e.timer_id] = LastRunInfo{e.run_id, e.finished_at, std::nullopt, "FAILED: " + e.error};
  }
  void operator()(const RunRetrying& e) const {
    s.states[e.timer_id] = TimerState::kRetrying;
    s.pending_retries[e.timer_id] = PendingRetry{e.run_id, e.next_retry_at, e.attempt};
    std::uint32_t& retries = s.retries_7d[e.timer_id];
    if (retries != UINT32_MAX) ++retries;  // a counter that only grows must not wrap to 0
  }
  void operator()(const RunDead& e) const {
    s.states[e.timer_id] = TimerState::kDead;
    s.last_runs[e.timer_id] = LastRunInfo{e.run_id, e.at, std::nullopt, "DEAD"};
    s.pending_retries.erase(e.timer_id);
  }
};

}  // namespace

void apply(EngineState& state, const Event& event) { std::visit(Applier{state}, event); }

void open_rebuilt(EngineState& state) {
  state.next_runs.clear();
  state.fn_names.clear();
  for (const auto& [id, spec] : state.specs) state.states[id] = TimerState::kOrphaned;
}

}  // namespace vesk
