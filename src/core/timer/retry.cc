#include "timer/retry.h"

#include <algorithm>
#include <limits>

namespace vesk {
namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

struct DelayFor {
  // Attempts count from 1; an attempt 0 is read as the first.
  std::uint64_t steps_taken;

  std::uint64_t operator()(const FixedBackoff& b) const { return b.seconds; }

  std::uint64_t operator()(const ExponentialBackoff& b) const {
    const std::uint64_t factor = steps_taken >= 64 ? kSaturated : std::uint64_t{1} << steps_taken;
    std::uint64_t product;
    if (__builtin_mul_overflow(b.base_seconds, factor, &product)) return b.max_seconds;
    return std::min(b.max_seconds, product);
  }

  std::uint64_t operator()(const LinearBackoff& b) const {
    std::uint64_t steps;
    if (__builtin_mul_overflow(steps_taken, b.step_seconds, &steps)) steps = kSaturated;
    std::uint64_t sum;
    if (__builtin_add_overflow(b.base_seconds, steps, &sum)) sum = kSaturated;
    return std::min(b.max_seconds, sum);
  }
};

}  // namespace

std::uint64_t backoff_delay(const BackoffStrategy& backoff, std::uint32_t attempt) {
  return std::visit(DelayFor{attempt == 0 ? 0u : attempt - 1u}, backoff);
}

std::optional<Instant> next_attempt_at(const RetryPolicy& policy, std::uint32_t attempt, Instant finished) {
  if (attempt >= policy.max_attempts) return std::nullopt;
  return add_seconds(finished, backoff_delay(policy.backoff, attempt));
}

}  // namespace vesk
