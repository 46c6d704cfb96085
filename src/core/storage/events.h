// The durable events of the engine and the log line that carries one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "time/instant.h"
#include "timer/schedule.h"

namespace vesk {

struct TimerCreated {
  TimerSpec spec;
  friend bool operator==(const TimerCreated&, const TimerCreated&) = default;
};
struct TimerUpdated {
  TimerSpec spec;
  friend bool operator==(const TimerUpdated&, const TimerUpdated&) = default;
};
struct TimerPaused {
  std::string timer_id;
  Instant at;
  friend bool operator==(const TimerPaused&, const TimerPaused&) = default;
};
struct TimerResumed {
  std::string timer_id;
  Instant at;
  friend bool operator==(const TimerResumed&, const TimerResumed&) = default;
};
struct TimerCancelled {
  std::string timer_id;
  Instant at;
  friend bool operator==(const TimerCancelled&, const TimerCancelled&) = default;
};
struct RunDue {
  std::string timer_id;
  std::string run_id;
  Instant scheduled_at;
  friend bool operator==(const RunDue&, const RunDue&) = default;
};
struct RunStarted {
  std::string timer_id;
  std::string run_id;
  Instant started_at;
  std::uint32_t attempt = 1;
  friend bool operator==(const RunStarted&, const RunStarted&) = default;
};
struct RunSucceeded {
  std::string timer_id;
  std::string run_id;
  Instant finished_at;
  std::uint64_t duration_ms = 0;
  friend bool operator==(const RunSucceeded&, const RunSucceeded&) = default;
};
struct RunFailed {
  std::string timer_id;
  std::string run_id;
  Instant finished_at;
  std::string error;
  std::uint32_t attempt = 1;
  friend bool operator==(const RunFailed&, const RunFailed&) = default;
};
struct RunRetrying {
  std::string timer_id;
  std::string run_id;
  std::uint32_t attempt = 1;
  Instant next_retry_at;
  friend bool operator==(const RunRetrying&, const RunRetrying&) = default;
};
struct RunDead {
  std::string timer_id;
  std::string run_id;
  Instant at;
  friend bool operator==(const RunDead&, const RunDead&) = default;
};

// Variants in declaration order, which is also the order of their tags.
using Event = std::variant<TimerCreated, TimerUpdated, TimerPaused, TimerResumed, TimerCancelled, RunDue,
                           RunStarted, RunSucceeded, RunFailed, RunRetrying, RunDead>;

inline constexpr std::string_view kEventTags[] = {
    "TIMER_CREATED", "TIMER_UPDATED", "TIMER_PAUSED", "TIMER_RESUMED", "TIMER_CANCELLED", "RUN_DUE",
    "RUN_STARTED",   "RUN_SUCCEEDED", "RUN_FAILED",   "RUN_RETRYING",  "RUN_DEAD",
};
static_assert(std::size(kEventTags) == std::variant_size_v<Event>);

inline std::string_view event_tag(const Event& event) { return kEventTags[event.index()]; }

// The id of the timer an event concerns: `timer_id`, or the spec's `id`.
const std::string& event_timer_id(const Event& event);

// One line of the log.
struct LogEntry {
  std::uint8_t v = 1;  // written as 1; read back whatever it holds
  Instant ts;          // when the writer built the line
  Event event;
  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

}  // namespace vesk
