#include "storage/records.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;

TimerSpec nightly() {
  return TimerSpec{"nightly-report", CronSchedule{"30 2 * * *"}, RetryPolicy{}, "Europe/Paris",
                   at("2026-03-02T08:59:59.001200Z")};
}

TEST(LogEntryTextTest, WrittenInDeclaredKeyOrder) {
  const LogEntry created{1, at("2026-03-02T08:59:59.001234567Z"), TimerCreated{nightly()}};
  EXPECT_EQ(encode_log_entry(created),
            R"({"v":1,"ts":"2026-03-02T08:59:59.001234567Z","event":{"type":"TIMER_CREATED","spec":{"id":"nightly-report",)"
            R"("schedule":{"kind":"cron","expr":"30 2 * * *"},"retry":{"max_attempts":3,"backoff":{"kind":"exponential",)"
            R"("base_seconds":30,"max_seconds":3600}},"timezone":"Europe/Paris","created_at":"2026-03-02T08:59:59.001200Z"}}})");
  const LogEntry due{1, at("2026-03-03T01:30:00.000512337Z"),
                     RunDue{"nightly-report", "run_01HZY3K1M8V2Q5T7W9X0B4C6D8", at("2026-03-03T01:30:00Z")}};
  EXPECT_EQ(encode_log_entry(due),
            R"({"v":1,"ts":"2026-03-03T01:30:00.000512337Z","event":{"type":"RUN_DUE","timer_id":"nightly-report",)"
            R"("run_id":"run_01HZY3K1M8V2Q5T7W9X0B4C6D8","scheduled_at":"2026-03-03T01:30:00Z"}})");
  const Instant t = at("2026-03-03T01:30:00Z");
  EXPECT_EQ(encode_log_entry({1, t, RunFailed{"a", "r", t, "ValueError: \"bad\"\n", 2}}),
            R"({"v":1,"ts":"2026-03-03T01:30:00Z","event":{"type":"RUN_FAILED","timer_id":"a","run_id":"r",)"
            R"("finished_at":"2026-03-03T01:30:00Z","error":"ValueError: \"bad\"\n","attempt":2}})");
  EXPECT_EQ(encode_log_entry({1, t, RunRetrying{"a", "r", 2, t}}),
            R"({"v":1,"ts":"2026-03-03T01:30:00Z","event":{"type":"RUN_RETRYING","timer_id":"a","run_id":"r",)"
            R"("attempt":2,"next_retry_at":"2026-03-03T01:30:00Z"}})");
  EXPECT_EQ(encode_log_entry({1, t, RunSucceeded{"a", "r", t, 0}}),
            R"({"v":1,"ts":"2026-03-03T01:30:00Z","event":{"type":"RUN_SUCCEEDED","timer_id":"a","run_id":"r",)"
            R"("finished_at":"2026-03-03T01:30:00Z","duration_ms":0}})");
}

TEST(LogEntryTextTest, EveryVariantAndKindReadsBackEqual) {
  const Instant t = at("2026-03-03T01:30:00.5Z");
  TimerSpec every = nightly();
  every.schedule = EverySchedule{18446744073709551615ull};
  every.retry = RetryPolicy{0, FixedBackoff{45}};
  TimerSpec once = nightly();
  once.schedule = AtSchedule{at("2030-01-01T00:00:00.000000001Z")};
  once.retry = RetryPolicy{4294967295u, LinearBackoff{10, 20, 100}};
  TimerSpec later = nightly();
  later.schedule = AfterSchedule{90, t};
  later.id = "naïve \u00e9t\u00e9 \"quoted\" \x01";
  const Event events[] = {
      TimerCreated{nightly()}, TimerUpdated{every},     TimerCreated{once},     TimerCreated{later},
      TimerPaused{"a", t},     TimerResumed{"a", t},    TimerCancelled{"a", t}, RunDue{"a", "r1", t},
      RunStarted{"a", "r1", t, 1}, RunSucceeded{"a", "r1", t, 0}, RunFailed{"a", "r1", t, "boom\ttab", 3},
      RunRetrying{"a", "r1", 4, t}, RunDead{"a", "r1", t},
  };
  for (const Event& event : events) {
    const LogEntry entry{1, at("2026-03-03T01:30:00.000512337Z"), event};
    const std::string line = encode_log_entry(entry);
    const auto decoded = decode_log_entry(line);
    ASSERT_TRUE(decoded) << line << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, entry) << line;
  }
}

TEST(LogEntryTextTest, ReadingIsLenient) {
  // Keys in any order, tags last, unknown keys dropped, numeric offsets applied, version not looked at.
  const auto entry = decode_log_entry(
      R"( {"event":{"note":"x","at":"2026-03-02T10:00:00+02:00","timer_id":"a","type":"TIMER_PAUSED"},)"
      R"("ts":"2026-03-02T10:00:00.5+02:00","extra":[1,{"b":null}],"v":2} )");
  ASSERT_TRUE(entry) << entry.error().message;
  EXPECT_EQ(entry->v, 2);
  EXPECT_EQ(entry->ts, at("2026-03-02T08:00:00.5Z"));
  EXPECT_EQ(entry->event, Event(TimerPaused{"a", at("2026-03-02T08:00:00Z")}));
  EXPECT_EQ(encode_log_entry(*entry),
            R"({"v":2,"ts":"2026-03-02T08:00:00.500Z","event":{"type":"TIMER_PAUSED","timer_id":"a","at":"2026-03-02T08:00:00Z"}})");

  const auto spec = decode_log_entry(
      R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"spec":{"created_at":"2026-03-02T08:00:00Z","timezone":"UTC",)"
      R"("retry":{"backoff":{"max_seconds":9,"kind":"linear","step_seconds":2,"base_seconds":1},"max_attempts":2},)"
      R"("schedule":{"registered_at":"2026-03-02T08:00:00Z","seconds":5,"kind":"after"},"id":"x"},"type":"TIMER_UPDATED"}})");
  ASSERT_TRUE(spec) << spec.error().message;
  const auto& updated = std::get<TimerUpdated>(spec->event).spec;
  EXPECT_EQ(updated.schedule, Schedule(AfterSchedule{5, at("2026-03-02T08:00:00Z")}));
  EXPECT_EQ(updated.retry, (RetryPolicy{2, LinearBackoff{1, 2, 9}}));
}

TEST(LogEntryTextTest, FaultsNameWhatIsWrong) {
  struct Case {
    const char* line;
    const char* message_start;
  };
  const Case cases[] = {
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"timer_id":"a","at":"2026-03-02T08:00:00Z"}})",
       "missing field `type`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"timer_created","spec":{}}})",
       "unknown variant `timer_created`, expected one of `TIMER_CREATED`, `TIMER_UPDATED`, `TIMER_PAUSED`, "
       "`TIMER_RESUMED`, `TIMER_CANCELLED`, `RUN_DUE`, `RUN_STARTED`, `RUN_SUCCEEDED`, `RUN_FAILED`, "
       "`RUN_RETRYING`, `RUN_DEAD`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"TIMER_CREATED","spec":{"id":"x","schedule":{"kind":"Cron","expr":"* * * * *"}}}})",
       "unknown variant `Cron`, expected one of `cron`, `every`, `at`, `after`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"TIMER_CREATED","spec":{"id":"x","schedule":{"kind":"every","seconds":5},)"
       R"("retry":{"max_attempts":1,"backoff":{"kind":"fixed","seconds":1}},"created_at":"2026-03-02T08:00:00Z"}}})",
       "missing field `timezone`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"TIMER_CREATED","spec":{"id":"x","schedule":{"kind":"after","seconds":5},)"
       R"("retry":{"max_attempts":1,"backoff":{"kind":"fixed","seconds":1}},"timezone":"UTC","created_at":"2026-03-02T08:00:00Z"}}})",
       "missing field `registered_at`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_DUE","type":"RUN_DUE","timer_id":"a","run_id":"r","scheduled_at":"2026-03-02T08:00:00Z"}})",
       "duplicate field `type`"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_DUE","timer_id":"a","timer_id":"b","run_id":"r","scheduled_at":"2026-03-02T08:00:00Z"}})",
       "duplicate field `timer_id`"},
      {R"({"v":256,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_DEAD","timer_id":"a","run_id":"r","at":"2026-03-02T08:00:00Z"}})",
       "invalid value: integer `256`, expected u8"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_STARTED","timer_id":"a","run_id":"r","started_at":"2026-03-02T08:00:00Z","attempt":4294967296}})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00","event":{"type":"RUN_DEAD","timer_id":"a","run_id":"r","at":"2026-03-02T08:00:00Z"}})",
       "invalid value: string \"2026-03-02T08:00:00\", expected an RFC 3339 timestamp"},
      {R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_DEAD","timer_id":"a","run_id":"r","at":"2026-03-02T08:00:00Z"}} x)",
       "trailing characters"},
      {R"({"v":1,"ts":"2026-)", "EOF while parsing a string"},
  };
  for (const Case& c : cases) {
    const auto entry = decode_log_entry(c.line);
    ASSERT_FALSE(entry) << c.line;
    EXPECT_TRUE(entry.error().message.starts_with(c.message_start)) << entry.error().message;
    EXPECT_NE(entry.error().message.find(" at line 1 column "), std::string::npos) << entry.error().message;
  }
  EXPECT_EQ(decode_log_entry(R"({"v":1,"ts":"2026-)").error().message, "EOF while parsing a string at line 1 column 18");
  EXPECT_TRUE(decode_log_entry(R"({"v":1,"ts":"2026-)").error().at_eof);
  EXPECT_FALSE(decode_log_entry(R"({"v":-1,"ts":"2026-03-02T08:00:00Z","event":{"type":"RUN_DEAD","timer_id":"a","run_id":"r","at":"2026-03-02T08:00:00Z"}})"));
  EXPECT_TRUE(decode_log_entry(
      R"({"v":1,"ts":"2026-03-02T08:00:00Z","event":{"type":"TIMER_CREATED","spec":{"id":"x","schedule":{"kind":"every","seconds":18446744073709551615},)"
      R"("retry":{"max_attempts":1,"backoff":{"kind":"fixed","seconds":1}},"timezone":"UTC","created_at":"2026-03-02T08:00:00Z"}}})"));
}

TEST(LogEntryTextTest, GenericFormSortsKeysAtEveryDepth) {
  const LogEntry paused{1, at("2026-03-02T08:00:00Z"), TimerPaused{"a", at("2026-03-02T08:00:01Z")}};
  EXPECT_EQ(json::to_string(log_entry_to_value(paused)),
            R"({"event":{"at":"2026-03-02T08:00:01Z","timer_id":"a","type":"TIMER_PAUSED"},"ts":"2026-03-02T08:00:00Z","v":1})");
  const LogEntry created{1, at("2026-03-02T08:00:00Z"), TimerCreated{nightly()}};
  EXPECT_EQ(json::to_string(log_entry_to_value(created)),
            R"({"event":{"spec":{"created_at":"2026-03-02T08:59:59.001200Z","id":"nightly-report","retry":{"backoff":)"
            R"({"base_seconds":30,"kind":"exponential","max_seconds":3600},"max_attempts":3},"schedule":{"expr":"30 2 * * *",)"
            R"("kind":"cron"},"timezone":"Europe/Paris"},"type":"TIMER_CREATED"},"ts":"2026-03-02T08:00:00Z","v":1})");
}

}  // namespace
}  // namespace vesk
