#include "engine/state.h"

namespace vesk {

std::optional<TimerState> timer_state_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kTimerStateNames.size(); ++i) {
    if (kTimerStateNames[i] == name) return static_cast<TimerState>(i);
  }
  return std::nullopt;
}

namespace {

bool same_durable_fields(const TimerRecord& a, const TimerRecord& b) {
  return a.spec == b.spec && a.state == b.state && a.last_run == b.last_run && a.next_run == b.next_run &&
         a.retries_7d == b.retries_7d && a.pending_retry == b.pending_retry;
}

bool covers(const EngineState& a, const EngineState& b) {
  static const TimerRecord kEmpty;
  for (const auto& [id, record] : a.timers) {
    const TimerRecord* other = b.find(id);
    if (!same_durable_fields(record, other ? *other : kEmpty)) return false;
  }
  return true;
}

}  // namespace

bool EngineState::same_durable_content(const EngineState& other) const {
  return covers(*this, other) && covers(other, *this);
}

namespace {

struct Applier {
  EngineState& s;

  void operator()(const TimerCreated& e) const {
    TimerRecord& t = s.at(e.spec.id);
    t.state = TimerState::kOrphaned;
    t.spec = e.spec;
  }
  void operator()(const TimerUpdated& e) const { s.at(e.spec.id).spec = e.spec; }
  void operator()(const TimerPaused& e) const { s.at(e.timer_id).state = TimerState::kPaused; }
  void operator()(const TimerResumed& e) const {
    TimerRecord& t = s.at(e.timer_id);
    t.state = t.fn_name ? TimerState::kScheduled : TimerState::kOrphaned;
  }
  void operator()(const TimerCancelled& e) const { s.at(e.timer_id).state = TimerState::kCancelled; }
  void operator()(const RunDue& e) const { s.at(e.timer_id).state = TimerState::kRunning; }
  void operator()(const RunStarted& e) const { s.at(e.timer_id).state = TimerState::kRunning; }
  void operator()(const RunSucceeded& e) const {
    TimerRecord& t = s.at(e.timer_id);
    t.state = TimerState::kScheduled;
    t.last_run = LastRunInfo{e.run_id, e.finished_at, e.duration_ms, "OK"};
    t.pending_retry.reset();
  }
  void operator()(const RunFailed& e) const {
    s.at(e.timer_id).last_run = LastRunInfo{e.run_id, e.finished_at, std::nullopt, "FAILED: " + e.error};
  }
  void operator()(const RunRetrying& e) const {
    TimerRecord& t = s.at(e.timer_id);
    t.state = TimerState::kRetrying;
    t.pending_retry = PendingRetry{e.run_id, e.next_retry_at, e.attempt};
    const std::uint32_t retries = t.retries_7d.value_or(0);
    t.retries_7d = retries == UINT32_MAX ? retries : retries + 1;  // a counter that only grows must not wrap to 0
  }
  void operator()(const RunDead& e) const {
    TimerRecord& t = s.at(e.timer_id);
    t.state = TimerState::kDead;
    t.last_run = LastRunInfo{e.run_id, e.at, std::nullopt, "DEAD"};
    t.pending_retry.reset();
  }
};

}  // namespace

void apply(EngineState& state, const Event& event) { std::visit(Applier{state}, event); }

void open_rebuilt(EngineState& state) {
  for (auto& [id, record] : state.timers) {
    record.next_run.reset();
    record.fn_name.reset();
    if (record.spec) record.state = TimerState::kOrphaned;
  }
}

}  // namespace vesk
