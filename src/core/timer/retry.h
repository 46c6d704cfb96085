// Retry policy, backoff delays and the retry decision.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "time/instant.h"

namespace vesk {

struct FixedBackoff {
  std::uint64_t seconds = 0;
  friend bool operator==(const FixedBackoff&, const FixedBackoff&) = default;
};

struct ExponentialBackoff {
  std::uint64_t base_seconds = 0;
  std::uint64_t max_seconds = 0;
  friend bool operator==(const ExponentialBackoff&, const ExponentialBackoff&) = default;
};

struct LinearBackoff {
  std::uint64_t base_seconds = 0;
  std::uint64_t step_seconds = 0;
  std::uint64_t max_seconds = 0;
  friend bool operator==(const LinearBackoff&, const LinearBackoff&) = default;
};

// Kinds in declaration order: fixed, exponential, linear.
using BackoffStrategy = std::variant<FixedBackoff, ExponentialBackoff, LinearBackoff>;

struct RetryPolicy {
  // Total attempts of a run, the first included; 0 and 1 both mean no retry.
  std::uint32_t max_attempts = 3;
  BackoffStrategy backoff = ExponentialBackoff{30, 3600};
  friend bool operator==(const RetryPolicy&, const RetryPolicy&) = default;
};

// Seconds to wait before the retry that follows failed attempt `attempt`
// (counted from 1). Saturates instead of overflowing; never fails.
std::uint64_t backoff_delay(const BackoffStrategy& backoff, std::uint32_t attempt);

// When the attempt after failed attempt `attempt` (which ended at `finished`)
// is due, or nothing when no attempt is left. A delay that takes the instant
// past the representable range also leaves no attempt.
std::optional<Instant> next_attempt_at(const RetryPolicy& policy, std::uint32_t attempt, Instant finished);

}  // namespace vesk
