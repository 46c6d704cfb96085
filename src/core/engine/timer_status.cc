#include "engine/timer_status.h"

namespace vesk {
namespace {

template <typename T>
const T* find(const TimerMap<T>& map, const std::string& id) {
  const auto it = map.find(id);
  return it == map.end() ? nullptr : &it->second;
}

json::Value optional_instant(const std::optional<Instant>& at) {
  return at ? json::Value(format_rfc3339(*at)) : json::Value();
}

}  // namespace

std::optional<TimerStatus> status_of(const EngineState& table, const std::string& id) {
  const TimerState* state = find(table.states, id);
  if (state == nullptr) return std::nullopt;
  TimerStatus status;
  status.id = id;
  status.state = *state;
  if (const auto* fn_name = find(table.fn_names, id)) status.fn_name = *fn_name;
  if (const auto* run = find(table.last_runs, id)) {
    status.last_run_at = run->finished_at;
    status.last_duration_ms = run->duration_ms;
    status.last_status = run->status;
  }
  if (const auto* next = find(table.next_runs, id)) status.next_run_at = *next;
  if (const auto* retries = find(table.retries_7d, id)) status.retries_last_7d = *retries;
  return status;
}

json::Value to_json(const TimerStatus& status) {
  json::Object object;
  object.emplace("id", status.id);
  object.emplace("state", std::string(timer_state_name(status.state)));
  object.emplace("fn_name", status.fn_name ? json::Value(*status.fn_name) : json::Value());
  object.emplace("last_run_at", optional_instant(status.last_run_at));
  object.emplace("last_duration_ms", status.last_duration_ms ? json::Value(*status.last_duration_ms) : json::Value());
  object.emplace("last_status", status.last_status ? json::Value(*status.last_status) : json::Value());
  object.emplace("next_run_at", optional_instant(status.next_run_at));
  object.emplace("retries_last_7d", json::Value(status.retries_last_7d));
  return json::Value(std::move(object));
}

}  // namespace vesk
