#include "timer/schedule.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;
using testing::text_of;

std::string next(const Schedule& schedule, const char* now, const char* zone = "UTC") {
  const auto result = next_fire(schedule, at(now), zone);
  return result ? text_of(*result) : "error: " + result.error().message();
}

TEST(NextFireTest, EachKind) {
  const char* now = "2026-03-02T10:07:30.5Z";
  EXPECT_EQ(next(CronSchedule{"*/15 * * * *"}, now), "2026-03-02T10:15:00Z");
  EXPECT_EQ(next(CronSchedule{"0 9 * * *"}, "2026-01-10T12:00:00Z", "Europe/Paris"), "2026-01-11T08:00:00Z");
  EXPECT_EQ(next(CronSchedule{"0 0 30 2 *"}, now), "none");
  EXPECT_EQ(next(EverySchedule{60}, now), "2026-03-02T10:08:30.500Z");
  EXPECT_EQ(next(EverySchedule{0}, now), "2026-03-02T10:07:30.500Z");
  EXPECT_EQ(next(AtSchedule{at("2026-03-02T10:07:30.5Z")}, now), "none");
  EXPECT_EQ(next(AtSchedule{at("2026-03-02T10:07:30.500000001Z")}, now), "2026-03-02T10:07:30.500000001Z");
  EXPECT_EQ(next(AtSchedule{at("2020-01-01T00:00:00Z")}, now), "none");
  EXPECT_EQ(next(AfterSchedule{30, at("2026-03-02T10:07:00.5Z")}, now), "none");
  EXPECT_EQ(next(AfterSchedule{31, at("2026-03-02T10:07:00.5Z")}, now), "2026-03-02T10:07:31.500Z");
}

TEST(NextFireTest, SumsBeyondTheRepresentableRangeHaveNoFire) {
  const char* now = "2026-03-02T10:07:30Z";
  EXPECT_EQ(next(EverySchedule{9'223'372'036'854'776ull}, now), "none");
  EXPECT_EQ(next(EverySchedule{UINT64_MAX}, now), "none");
  EXPECT_EQ(next(AfterSchedule{UINT64_MAX, at(now)}, now), "none");
}

TEST(NextFireTest, ZoneIsCheckedFirstForEveryKind) {
  const char* now = "2026-03-02T10:07:30Z";
  const Schedule schedules[] = {CronSchedule{"not cron"}, EverySchedule{5}, AtSchedule{at("2027-01-01T00:00:00Z")},
                                AfterSchedule{5, at(now)}};
  for (const Schedule& schedule : schedules) {
    EXPECT_EQ(next(schedule, now, "utc"), "error: invalid timezone: utc");
    EXPECT_EQ(next(schedule, now, "europe/paris"), "error: invalid timezone: europe/paris");
  }
}

TEST(NextFireTest, InvalidCronText) {
  for (const char* expr : {"0 */5 * * * *", "@daily", "", "0 9 * * 0"}) {
    const auto result = next_fire(CronSchedule{expr}, at("2026-03-02T10:07:30Z"), "UTC");
    ASSERT_FALSE(result) << expr;
    EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidCron);
    EXPECT_EQ(result.error().message(), "invalid cron expression: Invalid expression: Invalid cron expression.");
  }
}

TEST(TimerSpecTest, EqualOnlyWhenEveryFieldIs) {
  const TimerSpec base{"nightly", CronSchedule{"30 2 * * *"}, RetryPolicy{}, "Europe/Paris",
                       at("2026-03-02T08:59:59.0012Z")};
  EXPECT_EQ(base, base);
  auto changed = [&](auto mutate) {
    TimerSpec copy = base;
    mutate(copy);
    return copy;
  };
  EXPECT_NE(base, changed([](TimerSpec& s) { s.id = "daily"; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.schedule = CronSchedule{"30 3 * * *"}; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.schedule = EverySchedule{60}; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.retry.max_attempts = 4; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.retry.backoff = ExponentialBackoff{30, 3601}; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.retry.backoff = LinearBackoff{30, 0, 3600}; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.timezone = "UTC"; }));
  EXPECT_NE(base, changed([](TimerSpec& s) { s.created_at.nanos += 1; }));
  EXPECT_NE((AfterSchedule{5, at("2026-03-02T08:00:00Z")}), (AfterSchedule{5, at("2026-03-02T08:00:01Z")}));
  EXPECT_TRUE(is_repeating(CronSchedule{}));
  EXPECT_TRUE(is_repeating(EverySchedule{}));
  EXPECT_FALSE(is_repeating(AtSchedule{}));
  EXPECT_FALSE(is_repeating(AfterSchedule{}));
}

}  // namespace
}  // namespace vesk
