#include "engine/state.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;

TimerSpec spec(const char* id) {
  return TimerSpec{id, EverySchedule{60}, RetryPolicy{}, "UTC", at("2026-03-02T08:00:00Z")};
}

TEST(ApplyTest, FailureThenRetryThenSuccess) {
  EngineState s;
  const Instant t = at("2026-03-03T01:30:00Z");
  apply(s, TimerCreated{spec("a")});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kOrphaned);
  apply(s, RunDue{"a", "r1", t});
  apply(s, RunStarted{"a", "r1", t, 1});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kRunning);
  apply(s, RunFailed{"a", "r1", t, "ValueError: boom", 1});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kRunning);  // the failure alone changes no state
  apply(s, RunRetrying{"a", "r1", 2, at("2026-03-03T01:30:30Z")});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kRetrying);
  EXPECT_EQ(s.timers.at("a").last_run, (LastRunInfo{"r1", t, std::nullopt, "FAILED: ValueError: boom"}));
  EXPECT_EQ(s.timers.at("a").pending_retry, (PendingRetry{"r1", at("2026-03-03T01:30:30Z"), 2}));
  EXPECT_EQ(s.timers.at("a").retries_7d, 1u);

  apply(s, RunSucceeded{"a", "r1", t, 250});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kScheduled);
  EXPECT_EQ(s.timers.at("a").last_run, (LastRunInfo{"r1", t, 250, "OK"}));
  EXPECT_FALSE(s.timers.at("a").pending_retry);
  EXPECT_EQ(s.timers.at("a").retries_7d, 1u);  // only ever grows

  apply(s, RunDead{"a", "r2", t});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kDead);
  EXPECT_EQ(s.timers.at("a").last_run, (LastRunInfo{"r2", t, std::nullopt, "DEAD"}));
}

TEST(ApplyTest, LifecycleEventsAndUnknownTimers) {
  EngineState s;
  const Instant t = at("2026-03-03T01:30:00Z");
  apply(s, TimerCreated{spec("a")});
  apply(s, TimerPaused{"a", t});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kPaused);
  apply(s, TimerResumed{"a", t});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kOrphaned);  // no function registered
  s.at("a").fn_name = "job";
  apply(s, TimerResumed{"a", t});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kScheduled);
  apply(s, TimerCancelled{"a", t});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kCancelled);
  TimerSpec changed = spec("a");
  changed.timezone = "Europe/Paris";
  apply(s, TimerUpdated{changed});
  EXPECT_EQ(s.timers.at("a").state, TimerState::kCancelled);
  EXPECT_EQ(s.timers.at("a").spec, changed);
  // Events for a timer without a spec still land.
  apply(s, RunRetrying{"ghost", "r", 2, t});
  EXPECT_EQ(s.timers.at("ghost").state, TimerState::kRetrying);
  EXPECT_FALSE(s.timers.at("ghost").spec);
}

TEST(ApplyTest, RetryCounterSaturates) {
  EngineState s;
  s.at("a").retries_7d = UINT32_MAX;
  apply(s, RunRetrying{"a", "r", 2, at("2026-03-03T01:30:00Z")});
  EXPECT_EQ(s.timers.at("a").retries_7d, UINT32_MAX);
}

TEST(OpenRebuiltTest, EveryTimerIsOrphanedWithoutQueuedFires) {
  EngineState s;
  const Instant t = at("2026-03-03T01:30:00Z");
  for (const char* id : {"a", "b", "c"}) apply(s, TimerCreated{spec(id)});
  apply(s, RunDead{"a", "r", t});
  apply(s, TimerCancelled{"b", t});
  apply(s, RunRetrying{"c", "r", 2, t});
  s.at("a").next_run = t;
  s.at("a").fn_name = "job";
  open_rebuilt(s);
  for (const char* id : {"a", "b", "c"}) EXPECT_EQ(s.timers.at(id).state, TimerState::kOrphaned) << id;
  EXPECT_FALSE(s.timers.at("a").next_run);
  EXPECT_FALSE(s.timers.at("a").fn_name);
  EXPECT_TRUE(s.timers.at("c").pending_retry);  // kept, not queued again
}

}  // namespace
}  // namespace vesk
