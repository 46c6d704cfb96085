#include "timer/retry.h"

#include <limits>

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

TEST(BackoffTest, WorkedDelays) {
  struct Case {
    BackoffStrategy backoff;
    std::uint64_t delays[5];  // attempts 1, 2, 3, 4, 8
  };
  const Case cases[] = {
      {FixedBackoff{45}, {45, 45, 45, 45, 45}},
      {ExponentialBackoff{30, 3600}, {30, 60, 120, 240, 3600}},
      {LinearBackoff{10, 20, 100}, {10, 30, 50, 70, 100}},
      {ExponentialBackoff{0, 3600}, {0, 0, 0, 0, 0}},
      {LinearBackoff{10, 0, 100}, {10, 10, 10, 10, 10}},
      {LinearBackoff{500, 0, 100}, {100, 100, 100, 100, 100}},
      {ExponentialBackoff{30, 5}, {5, 5, 5, 5, 5}},
  };
  const std::uint32_t attempts[] = {1, 2, 3, 4, 8};
  for (const Case& c : cases) {
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(backoff_delay(c.backoff, attempts[i]), c.delays[i])
          << "kind " << c.backoff.index() << " attempt " << attempts[i];
    }
  }
}

TEST(BackoffTest, SaturatesInsteadOfOverflowing) {
  const ExponentialBackoff doubling{1, kMax64};
  EXPECT_EQ(backoff_delay(doubling, 64), std::uint64_t{1} << 63);
  EXPECT_EQ(backoff_delay(doubling, 65), kMax64);
  EXPECT_EQ(backoff_delay(doubling, 4'000'000'000u), kMax64);
  // base x factor overflows: the cap is the delay.
  EXPECT_EQ(backoff_delay(ExponentialBackoff{3, 1000}, 64), 1000u);
  EXPECT_EQ(backoff_delay(ExponentialBackoff{30, 3600}, 0), 30u);
  EXPECT_EQ(backoff_delay(LinearBackoff{10, kMax64 / 2, kMax64}, 4), kMax64);
  EXPECT_EQ(backoff_delay(LinearBackoff{kMax64, 1, kMax64}, 2), kMax64);
  EXPECT_EQ(backoff_delay(LinearBackoff{10, 20, 100}, 0), 10u);
}

TEST(RetryDecisionTest, AttemptsLeftAndDueInstants) {
  const Instant finished = at("2026-03-03T01:30:00.250Z");
  const RetryPolicy defaults;
  EXPECT_EQ(defaults.max_attempts, 3u);
  EXPECT_EQ(next_attempt_at(defaults, 1, finished), at("2026-03-03T01:30:30.250Z"));
  EXPECT_EQ(next_attempt_at(defaults, 2, finished), at("2026-03-03T01:31:00.250Z"));
  EXPECT_FALSE(next_attempt_at(defaults, 3, finished));
  EXPECT_FALSE(next_attempt_at(RetryPolicy{0, FixedBackoff{1}}, 1, finished));
  EXPECT_FALSE(next_attempt_at(RetryPolicy{1, FixedBackoff{1}}, 1, finished));
  EXPECT_EQ(next_attempt_at(RetryPolicy{2, FixedBackoff{0}}, 1, finished), finished);
  // A delay past the representable range leaves no attempt.
  EXPECT_FALSE(next_attempt_at(RetryPolicy{5, FixedBackoff{kMax64}}, 1, finished));
}

}  // namespace
}  // namespace vesk
