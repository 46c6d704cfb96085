#include "engine/engine.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "engine/engine_core.h"
#include "storage/event_log.h"
#include "temp_dir.h"
#include "test_support.h"

namespace vesk {

// Reaches into the engine where a test needs to arrange what the public
// operations cannot.
class EngineTestAccess {
 public:
  static void close_log(Engine& engine) {
    std::lock_guard lock(engine.core_->mutex);
    engine.core_->log.close();
  }
  static void queue(Engine& engine, DueEntry entry) {
    std::lock_guard lock(engine.core_->mutex);
    engine.core_->queue(std::move(entry));
  }
  static std::size_t queued(Engine& engine) {
    std::lock_guard lock(engine.core_->mutex);
    return engine.core_->heap.size();
  }
  static void wake(Engine& engine) { engine.core_->wake.notify(); }
  static EngineState table(Engine& engine) {
    std::lock_guard lock(engine.core_->mutex);
    return engine.core_->table;
  }
};

namespace {

using namespace std::chrono_literals;
using testing::at;

class ManualClock final : public Clock {
 public:
  explicit ManualClock(Instant start) : seconds_(start.seconds), nanos_(start.nanos) {}
  Instant now() const override {
    std::lock_guard lock(mutex_);
    return Instant{seconds_, nanos_};
  }
  void advance(std::chrono::nanoseconds by) {
    std::lock_guard lock(mutex_);
    const std::int64_t nanos = static_cast<std::int64_t>(nanos_) + by.count() % 1'000'000'000;
    seconds_ += by.count() / 1'000'000'000 + (nanos >= 1'000'000'000 ? 1 : 0);
    nanos_ = static_cast<std::uint32_t>(nanos % 1'000'000'000);
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t seconds_;
  std::uint32_t nanos_;
};

// A registered function whose behaviour each test scripts.
class FakeHandler final : public TimerHandler {
 public:
  using Script = std::function<std::expected<void, std::string>(int call)>;
  explicit FakeHandler(Script script = {}) : script_(std::move(script)) {}

  std::string name() const override { return "job"; }

  std::expected<void, std::string> call(const std::string& timer_id, const std::string& run_id) override {
    int number;
    {
      std::lock_guard lock(mutex_);
      number = ++calls_;
      seen_.emplace_back(timer_id, run_id);
    }
    cv_.notify_all();
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return !blocked_; });
    }
    return script_ ? script_(number) : std::expected<void, std::string>{};
  }

  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool wait_for_calls(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] { return calls_ >= count; });
  }
  void block() {
    std::lock_guard lock(mutex_);
    blocked_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      blocked_ = false;
    }
    cv_.notify_all();
  }

 private:
  Script script_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int calls_ = 0;
  bool blocked_ = false;
  std::vector<std::pair<std::string, std::string>> seen_;
};

std::expected<void, std::string> fail(std::string text) { return std::unexpected(std::move(text)); }

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

class EngineTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    clock_ = std::make_shared<ManualClock>(at("2026-03-02T10:00:00Z"));
    open();
  }
  void TearDown() override {
    if (engine_) {
      (void)engine_->shutdown(5s);
      engine_.reset();
    }
    TempDirTest::TearDown();
  }

  void open(const std::string& dir = "data") {
    auto storage = open_engine(path(dir));
    ASSERT_TRUE(storage) << storage.error().message();
    engine_ = Engine::create(std::move(*storage), Engine::Options{clock_, 10s});
  }

  void reopen() {
    ASSERT_TRUE(engine_->shutdown(5s));
    engine_.reset();
    open();
  }

  // Moves the clock and lets the scheduler see it.
  void advance(std::chrono::seconds by) {
    clock_->advance(by);
    EngineTestAccess::wake(*engine_);
  }

  std::vector<LogEntry> log() {
    auto entries = read_aof(path("data/vesk.aof"));
    EXPECT_TRUE(entries) << entries.error().message();
    return entries.value_or(std::vector<LogEntry>{});
  }

  // The tags of the logged events, in order.
  std::vector<std::string> tags() {
    std::vector<std::string> out;
    for (const LogEntry& entry : log()) out.emplace_back(event_tag(entry.event));
    return out;
  }

  // Waits until the log holds `count` events.
  bool logged(std::size_t count) {
    return eventually([&] { return log().size() >= count; });
  }

  // Registers `id` (every 60 s), starts the scheduler and lets its first run
  // begin; the run's call blocks until the handler is released.
  void start_blocked_run(const std::string& id, const std::shared_ptr<FakeHandler>& handler) {
    handler->block();
    ASSERT_TRUE(engine_->register_timer(id, EverySchedule{60}, std::nullopt, std::nullopt, handler));
    ASSERT_TRUE(engine_->start_scheduler());
    advance(60s);
    ASSERT_TRUE(handler->wait_for_calls(1));
  }

  TimerStatus status(const std::string& id) {
    auto s = engine_->status(id);
    EXPECT_TRUE(s) << id;
    return s.value_or(TimerStatus{});
  }

  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<Engine> engine_;
};

using Tags = std::vector<std::string>;

TEST_F(EngineTest, SuccessfulRunIsRecordedAndRescheduled) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_TRUE(engine_->register_timer("every", EverySchedule{60}, std::nullopt, std::nullopt, handler));
  EXPECT_EQ(status("every").next_run_at, at("2026-03-02T10:01:00Z"));
  EXPECT_EQ(status("every").state, TimerState::kScheduled);
  ASSERT_TRUE(engine_->start_scheduler());
  EXPECT_EQ(handler->calls(), 0);

  advance(60s);
  ASSERT_TRUE(logged(4));
  EXPECT_EQ(tags(), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED", "RUN_SUCCEEDED"}));
  const auto entries = log();
  const auto& due = std::get<RunDue>(entries[1].event);
  EXPECT_EQ(due.scheduled_at, at("2026-03-02T10:01:00Z"));
  EXPECT_EQ(due.run_id.substr(0, 4), "run_");
  EXPECT_EQ(std::get<RunStarted>(entries[2].event).attempt, 1u);
  ASSERT_TRUE(eventually([&] { return status("every").next_run_at == at("2026-03-02T10:02:00Z"); }));
  const TimerStatus s = status("every");
  EXPECT_EQ(s.state, TimerState::kScheduled);
  EXPECT_EQ(s.fn_name, "job");
  EXPECT_EQ(s.last_status, "OK");
  EXPECT_EQ(s.last_duration_ms, 0u);
  EXPECT_EQ(s.last_run_at, at("2026-03-02T10:01:00Z"));
  EXPECT_EQ(handler->calls(), 1);
}

TEST_F(EngineTest, RunDurationIsRoundedTowardZero) {
  // Started at .9996 s, finished at the next whole second: 0.4 ms is 0 ms.
  auto handler = std::make_shared<FakeHandler>([&](int) {
    clock_->advance(400us);
    return std::expected<void, std::string>{};
  });
  ASSERT_TRUE(engine_->register_timer("every", EverySchedule{60}, std::nullopt, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  clock_->advance(999'600us);
  advance(60s);
  ASSERT_TRUE(logged(4));
  const auto entries = log();
  EXPECT_EQ(std::get<RunStarted>(entries[2].event).started_at, at("2026-03-02T10:01:00.9996Z"));
  EXPECT_EQ(std::get<RunSucceeded>(entries[3].event).finished_at, at("2026-03-02T10:01:01Z"));
  EXPECT_EQ(std::get<RunSucceeded>(entries[3].event).duration_ms, 0u);
}

TEST_F(EngineTest, FailuresAreRetriedWithTheSameRunIdUntilSuccess) {
  auto handler = std::make_shared<FakeHandler>([](int call) { return call < 3 ? fail("ValueError: boom") : std::expected<void, std::string>{}; });
  ASSERT_TRUE(engine_->register_timer("flaky", EverySchedule{60}, RetryPolicy{3, FixedBackoff{0}}, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  ASSERT_TRUE(logged(12));
  EXPECT_EQ(tags(), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED", "RUN_FAILED", "RUN_RETRYING", "RUN_DUE",
                          "RUN_STARTED", "RUN_FAILED", "RUN_RETRYING", "RUN_DUE", "RUN_STARTED", "RUN_SUCCEEDED"}));
  const auto entries = log();
  const std::string run_id = std::get<RunDue>(entries[1].event).run_id;
  EXPECT_EQ(std::get<RunFailed>(entries[3].event).attempt, 1u);
  EXPECT_EQ(std::get<RunFailed>(entries[3].event).error, "ValueError: boom");
  EXPECT_EQ(std::get<RunRetrying>(entries[4].event).attempt, 2u);
  EXPECT_EQ(std::get<RunStarted>(entries[6].event).attempt, 2u);
  EXPECT_EQ(std::get<RunFailed>(entries[7].event).attempt, 2u);
  EXPECT_EQ(std::get<RunStarted>(entries[10].event).attempt, 3u);
  EXPECT_EQ(std::get<RunSucceeded>(entries[11].event).run_id, run_id);
  ASSERT_TRUE(eventually([&] { return status("flaky").next_run_at.has_value(); }));
  EXPECT_EQ(status("flaky").retries_last_7d, 2u);
  EXPECT_EQ(status("flaky").state, TimerState::kScheduled);
}

TEST_F(EngineTest, FinalFailureIsDead) {
  struct Case {
    const char* id;
    std::function<Schedule(Instant now)> schedule;
    std::uint32_t max_attempts;
    Tags events;
    bool rescheduled;
  };
  const Tags once = {"RUN_DUE", "RUN_STARTED", "RUN_FAILED", "RUN_DEAD"};
  const Tags twice = {"RUN_DUE", "RUN_STARTED", "RUN_FAILED", "RUN_RETRYING",
                      "RUN_DUE", "RUN_STARTED", "RUN_FAILED", "RUN_DEAD"};
  const Case cases[] = {
      {"no-attempts", [](Instant) { return EverySchedule{60}; }, 0, once, true},
      {"one-attempt", [](Instant) { return EverySchedule{60}; }, 1, once, true},
      {"one-shot-at", [](Instant now) { return AtSchedule{*add_seconds(now, 60)}; }, 2, twice, false},
      {"one-shot-after", [](Instant now) { return AfterSchedule{60, now}; }, 1, once, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_TRUE(engine_->shutdown(5s));
    open(c.id);
    ASSERT_TRUE(engine_->start_scheduler());
    auto handler = std::make_shared<FakeHandler>([](int) { return fail("RuntimeError: no"); });
    ASSERT_TRUE(engine_->register_timer(c.id, c.schedule(clock_->now()), RetryPolicy{c.max_attempts, FixedBackoff{0}}, std::nullopt,
                                        handler));
    clock_->advance(60s);
    EngineTestAccess::wake(*engine_);
    ASSERT_TRUE(eventually([&] { return status(c.id).state == TimerState::kDead; }));
    Tags expected = {"TIMER_CREATED"};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    auto entries = read_aof(path(c.id) + "/vesk.aof");
    ASSERT_TRUE(entries);
    Tags logged_tags;
    for (const LogEntry& entry : *entries) logged_tags.emplace_back(event_tag(entry.event));
    EXPECT_EQ(logged_tags, expected);
    EXPECT_EQ(status(c.id).last_status, "DEAD");
    EXPECT_EQ(status(c.id).last_duration_ms, std::nullopt);
    EXPECT_EQ(status(c.id).next_run_at.has_value(), c.rescheduled);
  }
}

TEST_F(EngineTest, RetryBeyondTheRepresentableRangeIsNoAttempt) {
  auto handler = std::make_shared<FakeHandler>([](int) { return fail("x"); });
  ASSERT_TRUE(engine_->register_timer("far", EverySchedule{60}, RetryPolicy{5, FixedBackoff{UINT64_MAX}}, std::nullopt,
                                      handler));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("far").state == TimerState::kDead; }));
  EXPECT_EQ(tags(), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED", "RUN_FAILED", "RUN_DEAD"}));
}

TEST_F(EngineTest, DeadRepeatingTimerKeepsFiring) {
  auto handler = std::make_shared<FakeHandler>([](int call) { return call == 1 ? fail("x") : std::expected<void, std::string>{}; });
  ASSERT_TRUE(engine_->register_timer("t", EverySchedule{60}, RetryPolicy{1, FixedBackoff{0}}, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("t").state == TimerState::kDead && status("t").next_run_at; }));
  advance(60s);
  ASSERT_TRUE(handler->wait_for_calls(2));
  ASSERT_TRUE(eventually([&] { return status("t").last_status == "OK"; }));
  EXPECT_EQ(status("t").state, TimerState::kScheduled);
}

TEST_F(EngineTest, RunsWithoutHandlerOrSpecRecordOnlyTheirStart) {
  // A timer known from an earlier process: orphaned, no function here.
  ASSERT_TRUE(engine_->register_timer("old", EverySchedule{60}, std::nullopt, std::nullopt, std::make_shared<FakeHandler>()));
  reopen();
  EXPECT_EQ(status("old").state, TimerState::kOrphaned);
  ASSERT_TRUE(engine_->start_scheduler());
  EngineTestAccess::queue(*engine_, DueEntry{"old", std::nullopt, clock_->now(), 1});
  EngineTestAccess::queue(*engine_, DueEntry{"ghost", std::nullopt, clock_->now(), 1});
  ASSERT_TRUE(logged(5));
  ASSERT_TRUE(engine_->shutdown(5s));
  EXPECT_EQ(tags().size(), 5u);
  EXPECT_EQ(status("old").state, TimerState::kOrphaned);
  EXPECT_EQ(status("old").fn_name, std::nullopt);
  EXPECT_EQ(status("old").next_run_at, std::nullopt);
  // The ghost's runs left a record but no timer: neither listed nor counted.
  EXPECT_EQ(engine_->list().size(), 1u);
  EXPECT_EQ(engine_->timer_count(), 1u);
}

TEST_F(EngineTest, RegistrationLogsOnlyChanges) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_TRUE(engine_->register_timer("c", CronSchedule{"*/5 * * * *"}, std::nullopt, std::nullopt, handler));
  clock_->advance(1s);
  ASSERT_TRUE(engine_->register_timer("c", CronSchedule{"*/5 * * * *"}, std::nullopt, std::nullopt, handler));
  EXPECT_EQ(tags(), (Tags{"TIMER_CREATED"}));
  ASSERT_TRUE(engine_->register_timer("c", CronSchedule{"*/5 * * * *"}, std::nullopt, "Europe/Paris", handler));
  ASSERT_EQ(tags(), (Tags{"TIMER_CREATED", "TIMER_UPDATED"}));
  const auto entries = log();
  EXPECT_EQ(std::get<TimerUpdated>(entries[1].event).spec.created_at, at("2026-03-02T10:00:00Z"));
  EXPECT_EQ(std::get<TimerUpdated>(entries[1].event).spec.timezone, "Europe/Paris");
  EXPECT_EQ(EngineTestAccess::queued(*engine_), 1u);  // the old fire was replaced, not doubled
  // Bad cron texts and zones are stored but never fire.
  ASSERT_TRUE(engine_->register_timer("bad", CronSchedule{"@daily"}, std::nullopt, std::nullopt, handler));
  ASSERT_TRUE(engine_->register_timer("zone", EverySchedule{5}, std::nullopt, "utc", handler));
  EXPECT_EQ(status("bad").next_run_at, std::nullopt);
  EXPECT_EQ(status("zone").next_run_at, std::nullopt);
  EXPECT_EQ(status("bad").state, TimerState::kScheduled);
  const TimerStatus fresh = status("bad");
  EXPECT_EQ(fresh.last_run_at, std::nullopt);
  EXPECT_EQ(fresh.last_status, std::nullopt);
  EXPECT_EQ(fresh.retries_last_7d, 0u);
  EXPECT_EQ(engine_->list().size(), 3u);
  EXPECT_EQ(engine_->timer_count(), 3u);
  EXPECT_FALSE(engine_->status("nope"));
}

TEST_F(EngineTest, RegisteringABusyTimerAgainQueuesNoSecondFire) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_NO_FATAL_FAILURE(start_blocked_run("t", handler));
  ASSERT_TRUE(engine_->register_timer("t", EverySchedule{60}, std::nullopt, std::nullopt, handler));
  EXPECT_EQ(EngineTestAccess::queued(*engine_), 0u);
  handler->release();
  ASSERT_TRUE(eventually([&] { return EngineTestAccess::queued(*engine_) == 1; }));
  advance(60s);
  ASSERT_TRUE(handler->wait_for_calls(2));
  ASSERT_TRUE(eventually([&] { return EngineTestAccess::queued(*engine_) == 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(handler->calls(), 2);
}

TEST_F(EngineTest, CronFiresOncePerMinuteAtSecondZero) {
  auto handler = std::make_shared<FakeHandler>();
  clock_->advance(30s);
  ASSERT_TRUE(engine_->register_timer("cron", CronSchedule{"* * * * *"}, std::nullopt, std::nullopt, handler));
  EXPECT_EQ(status("cron").next_run_at, at("2026-03-02T10:01:00Z"));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(30s);
  ASSERT_TRUE(eventually([&] { return status("cron").next_run_at == at("2026-03-02T10:02:00Z"); }));
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("cron").next_run_at == at("2026-03-02T10:03:00Z"); }));
  EXPECT_EQ(handler->calls(), 2);
  EXPECT_EQ(tags(), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED", "RUN_SUCCEEDED", "RUN_DUE", "RUN_STARTED",
                          "RUN_SUCCEEDED"}));
}

TEST_F(EngineTest, EveryCountsFromTheEndOfTheRun) {
  auto clock = clock_;
  auto handler = std::make_shared<FakeHandler>([clock](int) {
    clock->advance(3s);
    return std::expected<void, std::string>{};
  });
  ASSERT_TRUE(engine_->register_timer("slow", EverySchedule{10}, std::nullopt, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(10s);
  ASSERT_TRUE(eventually([&] { return status("slow").next_run_at == at("2026-03-02T10:00:23Z"); }));
  EXPECT_EQ(status("slow").last_duration_ms, 3000u);
}

TEST_F(EngineTest, TimersDueTogetherBothRun) {
  auto a = std::make_shared<FakeHandler>();
  auto b = std::make_shared<FakeHandler>();
  a->block();
  ASSERT_TRUE(engine_->register_timer("a", EverySchedule{60}, std::nullopt, std::nullopt, a));
  ASSERT_TRUE(engine_->register_timer("b", EverySchedule{60}, std::nullopt, std::nullopt, b));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  // One blocked call does not hold the other back.
  ASSERT_TRUE(a->wait_for_calls(1));
  ASSERT_TRUE(b->wait_for_calls(1));
  a->release();
}

TEST_F(EngineTest, ShutdownLifecycle) {
  // Before start: immediate, and the engine refuses everything afterwards.
  ASSERT_TRUE(engine_->shutdown(0s));
  ASSERT_TRUE(engine_->shutdown(0s));
  const auto registered = engine_->register_timer("t", EverySchedule{1}, std::nullopt, std::nullopt, std::make_shared<FakeHandler>());
  ASSERT_FALSE(registered);
  EXPECT_EQ(registered.error().message(), "engine has already been shut down");
  const auto started = engine_->start_scheduler();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message(), "engine has already been shut down");
  EXPECT_EQ(tags(), Tags{});

  engine_.reset();
  open();
  ASSERT_TRUE(engine_->start_scheduler());
  const auto again = engine_->start_scheduler();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "engine already started");
  // Nothing in flight: no wait for the scheduler's sleep.
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine_->shutdown(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
}

TEST_F(EngineTest, ShutdownTimesOutWhileACallRunsAndSucceedsLater) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_NO_FATAL_FAILURE(start_blocked_run("t", handler));
  const auto timed_out = engine_->shutdown(0s);
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().message(), "shutdown timed out after 0ms");
  const auto registered = engine_->register_timer("u", EverySchedule{1}, std::nullopt, std::nullopt, handler);
  EXPECT_FALSE(registered);
  EXPECT_EQ(engine_->shutdown(std::chrono::milliseconds(1500)).error().message(), "shutdown timed out after 1500ms");
  handler->release();
  ASSERT_TRUE(engine_->shutdown(5s));
  EXPECT_EQ(tags().back(), "RUN_SUCCEEDED");
  // No new run starts once stopping, and the rescheduled fire was not queued.
  EXPECT_EQ(status("t").next_run_at, std::nullopt);
}

TEST_F(EngineTest, FailedAppendStopsTheEngine) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_TRUE(engine_->register_timer("t", EverySchedule{60}, std::nullopt, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  EngineTestAccess::close_log(*engine_);
  ::testing::internal::CaptureStderr();
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("t").next_run_at == std::nullopt; }));
  ASSERT_TRUE(eventually([&] { return !engine_->register_timer("u", EverySchedule{1}, std::nullopt, std::nullopt, handler); }));
  advance(60s);
  std::this_thread::sleep_for(50ms);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "[vesk] ERROR: stopping engine after durable log append failed: log I/O error: log is closed\n");
  EXPECT_EQ(handler->calls(), 0);
  const auto registered = engine_->register_timer("u", EverySchedule{1}, std::nullopt, std::nullopt, handler);
  ASSERT_FALSE(registered);
  EXPECT_EQ(registered.error().message(), "engine has already been shut down");
  EXPECT_EQ(engine_->start_scheduler().error().message(), "engine has already been shut down");
  EXPECT_TRUE(engine_->shutdown(0s));
}

TEST_F(EngineTest, ReplayGivesTheTableOfLiveOperation) {
  auto good = std::make_shared<FakeHandler>();
  auto bad = std::make_shared<FakeHandler>([](int) { return fail("E: x"); });
  ASSERT_TRUE(engine_->register_timer("good", EverySchedule{60}, std::nullopt, std::nullopt, good));
  ASSERT_TRUE(engine_->register_timer("bad", EverySchedule{60}, RetryPolicy{2, FixedBackoff{0}}, std::nullopt, bad));
  ASSERT_TRUE(engine_->register_timer("later", EverySchedule{600}, std::nullopt, std::nullopt, good));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("bad").state == TimerState::kDead && status("good").last_status; }));
  ASSERT_TRUE(engine_->shutdown(5s));
  // Registration's state changes and queued fires are not events; opening a
  // table sets both aside, so compare the tables as the next engine sees them.
  EngineState live = EngineTestAccess::table(*engine_);
  open_rebuilt(live);
  auto replayed = recover(path("data"));
  ASSERT_TRUE(replayed);
  open_rebuilt(replayed->table);
  EXPECT_TRUE(replayed->table.same_durable_content(live));
  EXPECT_EQ(replayed->table.timers.at("bad").last_run->status, "DEAD");
  EXPECT_EQ(replayed->table.timers.at("bad").retries_7d, 1u);
}

TEST_F(EngineTest, CompactionWhileRunningKeepsEveryEvent) {
  auto handler = std::make_shared<FakeHandler>();
  ASSERT_TRUE(engine_->register_timer("t", EverySchedule{60}, std::nullopt, std::nullopt, handler));
  ASSERT_TRUE(engine_->start_scheduler());
  advance(60s);
  ASSERT_TRUE(eventually([&] { return status("t").last_status == "OK"; }));
  ASSERT_TRUE(engine_->compact());
  EXPECT_EQ(tags(), Tags{});
  advance(60s);
  ASSERT_TRUE(logged(3));
  ASSERT_TRUE(engine_->shutdown(5s));
  EngineState live = EngineTestAccess::table(*engine_);
  auto replayed = recover(path("data"));
  ASSERT_TRUE(replayed);
  // The snapshot holds the queued fire of its time.
  for (auto& [id, record] : live.timers) record.next_run = replayed->table.timers.at(id).next_run;
  EXPECT_TRUE(replayed->table.same_durable_content(live));
}

TEST_F(EngineTest, StatusJsonHasSortedMembersAndNulls) {
  ASSERT_TRUE(engine_->register_timer("t", EverySchedule{60}, std::nullopt, std::nullopt, std::make_shared<FakeHandler>()));
  EXPECT_EQ(json::to_string(to_json(status("t"))),
            R"({"fn_name":"job","id":"t","last_duration_ms":null,"last_run_at":null,"last_status":null,)"
            R"("next_run_at":"2026-03-02T10:01:00Z","retries_last_7d":0,"state":"Scheduled"})");
}

}  // namespace
}  // namespace vesk
