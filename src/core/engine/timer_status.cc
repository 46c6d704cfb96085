#include "engine/timer_status.h"

namespace vesk {
namespace {

json::Value optional_instant(const std::optional<Instant>& at) {
  return at ? json::Value(format_rfc3339(*at)) : json::Value();
}

}  // namespace

std::optional<TimerStatus> status_of(const std::string& id, const TimerRecord& record) {
  if (!record.state) return std::nullopt;
  TimerStatus status;
  status.id = id;
  status.state = *record.state;
  status.fn_name = record.fn_name;
  if (record.last_run) {
    status.last_run_at = record.last_run->finished_at;
    status.last_duration_ms = record.last_run->duration_ms;
    status.last_status = record.last_run->status;
  }
  status.next_run_at = record.next_run;
  status.retries_last_7d = record.retries_7d.value_or(0);
  return status;
}

std::optional<TimerStatus> status_of(const EngineState& table, const std::string& id) {
  const TimerRecord* record = table.find(id);
  return record ? status_of(id, *record) : std::nullopt;
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
