// Timer specs, their schedules and the next-fire computation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error.h"
#include "time/instant.h"
#include "timer/retry.h"

namespace vesk {

// A five-field cron expression, kept as the user wrote it and read as
// wall-clock time in the timer's zone.
struct CronSchedule {
  std::string expr;
  friend bool operator==(const CronSchedule&, const CronSchedule&) = default;
};

// Fires, then again `seconds` after the previous run has ended.
struct EverySchedule {
  std::uint64_t seconds = 0;
  friend bool operator==(const EverySchedule&, const EverySchedule&) = default;
};

// Fires once at `at`.
struct AtSchedule {
  Instant at;
  friend bool operator==(const AtSchedule&, const AtSchedule&) = default;
};

// Fires once, `seconds` after `registered_at`.
struct AfterSchedule {
  std::uint64_t seconds = 0;
  Instant registered_at;
  friend bool operator==(const AfterSchedule&, const AfterSchedule&) = default;
};

// Kinds in declaration order: cron, every, at, after. Cron and every repeat;
// at and after are one-shot.
using Schedule = std::variant<CronSchedule, EverySchedule, AtSchedule, AfterSchedule>;

inline bool is_repeating(const Schedule& schedule) {
  return std::holds_alternative<CronSchedule>(schedule) || std::holds_alternative<EverySchedule>(schedule);
}

// A timer's durable spec. Two specs are equal when every
// field is, down to the backoff's numbers and the creation instant.
struct TimerSpec {
  std::string id;
  Schedule schedule;
  RetryPolicy retry;
  std::string timezone = "UTC";
  Instant created_at;
  friend bool operator==(const TimerSpec&, const TimerSpec&) = default;
};

// The next instant, strictly after `now` for one-shots and cron, at which a
// timer with this schedule is due; nothing when it has no further fire.
//
// The zone name is checked first, for every kind ("invalid timezone: "), then
// a cron text is parsed ("invalid cron expression: Invalid expression: ...").
// An every/after sum beyond the representable range gives nothing.
Result<std::optional<Instant>> next_fire(const Schedule& schedule, Instant now, std::string_view timezone);

}  // namespace vesk
