// The status view of one timer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/state.h"
#include "json/value.h"

namespace vesk {

struct TimerStatus {
  std::string id;
  TimerState state = TimerState::kOrphaned;
  std::optional<std::string> fn_name;
  std::optional<Instant> last_run_at;
  std::optional<std::uint64_t> last_duration_ms;
  std::optional<std::string> last_status;
  std::optional<Instant> next_run_at;
  std::uint32_t retries_last_7d = 0;
  friend bool operator==(const TimerStatus&, const TimerStatus&) = default;
};

// The status of `id`, or nothing when the table has no state for it.
std::optional<TimerStatus> status_of(const EngineState& table, const std::string& id);
std::optional<TimerStatus> status_of(const std::string& id, const TimerRecord& record);

// The JSON form: the eight members, sorted by name as every generic value
// is; "state" by its variant name, instants as RFC 3339 text ending in "Z",
// absent values null.
json::Value to_json(const TimerStatus& status);

}  // namespace vesk
