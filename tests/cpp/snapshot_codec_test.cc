#include "storage/snapshot_codec.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;

constexpr const char* kExample = R"({
  "v": 1,
  "format_version": 1,
  "engine_version": "0.1.1",
  "created_at": "2026-03-03T09:00:00.123456789Z",
  "last_aof_offset": 0,
  "specs": {
    "nightly-report": {
      "id": "nightly-report",
      "schedule": {
        "kind": "cron",
        "expr": "30 2 * * *"
      },
      "retry": {
        "max_attempts": 3,
        "backoff": {
          "kind": "exponential",
          "base_seconds": 30,
          "max_seconds": 3600
        }
      },
      "timezone": "Europe/Paris",
      "created_at": "2026-03-02T08:59:59.001200Z"
    }
  },
  "states": {
    "nightly-report": "Scheduled"
  },
  "last_runs": {
    "nightly-report": {
      "run_id": "run_01HZY3K1M8V2Q5T7W9X0B4C6D8",
      "finished_at": "2026-03-03T01:30:04.250Z",
      "duration_ms": 4249,
      "status": "OK"
    }
  },
  "next_runs": {
    "nightly-report": "2026-03-04T01:30:00Z"
  },
  "retries_7d": {},
  "pending_retries": {}
}
)";

EngineState example_table() {
  EngineState t;
  t.at("nightly-report").spec = TimerSpec{"nightly-report", CronSchedule{"30 2 * * *"}, RetryPolicy{}, "Europe/Paris",
                                        at("2026-03-02T08:59:59.001200Z")};
  t.at("nightly-report").state = TimerState::kScheduled;
  t.at("nightly-report").last_run =
      LastRunInfo{"run_01HZY3K1M8V2Q5T7W9X0B4C6D8", at("2026-03-03T01:30:04.250Z"), 4249, "OK"};
  t.at("nightly-report").next_run = at("2026-03-04T01:30:00Z");
  return t;
}

TEST(SnapshotTextTest, PrettyLayout) {
  EXPECT_EQ(encode_snapshot(example_table(), 0, at("2026-03-03T09:00:00.123456789Z")), kExample);
}

TEST(SnapshotTextTest, EmptyTableWritesEmptyMaps) {
  const std::string text = encode_snapshot(EngineState{}, 0, at("2026-03-03T09:00:00Z"));
  EXPECT_NE(text.find("\"specs\": {},\n  \"states\": {},\n  \"last_runs\": {},\n  \"next_runs\": {},\n"
                      "  \"retries_7d\": {},\n  \"pending_retries\": {}\n}\n"),
            std::string::npos)
      << text;
}

TEST(SnapshotTextTest, ReadsBackEveryMap) {
  EngineState t = example_table();
  t.at("b").state = TimerState::kRetrying;
  t.at("b").last_run = LastRunInfo{"r", at("2026-03-03T01:30:04Z"), std::nullopt, "FAILED: x"};
  t.at("b").retries_7d = 4294967295u;
  t.at("b").pending_retry = PendingRetry{"r", at("2026-03-03T01:31:04Z"), 2};
  t.at("b").fn_name = "never stored";
  const std::string text = encode_snapshot(t, 1234, at("2026-03-03T09:00:00Z"));
  EXPECT_NE(text.find("\"duration_ms\": null"), std::string::npos);
  const auto record = decode_snapshot(text);
  ASSERT_TRUE(record) << record.error().message;
  EXPECT_EQ(record->last_aof_offset, 1234u);
  EXPECT_TRUE(record->table.same_durable_content(t));
  EXPECT_FALSE(record->table.timers.at("b").fn_name);
}

TEST(SnapshotTextTest, LenientWhereAllowed) {
  // duration_ms may be absent; a repeated id keeps the later value; versions come back as read.
  const auto record = decode_snapshot(R"( {"v":2,"format_version":3,"engine_version":"9","created_at":"2026-03-03T09:00:00Z",
    "last_aof_offset":7,"specs":{},"states":{"a":"Dead","a":"Paused"},
    "last_runs":{"a":{"status":"DEAD","finished_at":"2026-03-03T09:00:00Z","run_id":"r"}},
    "next_runs":{},"retries_7d":{},"pending_retries":{},"future":true}
  )");
  ASSERT_TRUE(record) << record.error().message;
  EXPECT_EQ(record->v, 2);
  EXPECT_EQ(record->format_version, 3);
  EXPECT_EQ(record->table.timers.at("a").state, TimerState::kPaused);
  EXPECT_EQ(record->table.timers.at("a").last_run->duration_ms, std::nullopt);
}

TEST(SnapshotTextTest, Faults) {
  const std::string full = kExample;
  struct Case {
    std::string text;
    const char* message_start;
  };
  const Case cases[] = {
      {full + "}", "trailing characters"},
      {full.substr(0, full.size() / 2), "EOF while parsing"},
      {R"({"v":1})", "missing field `format_version`"},
      {R"({"v":1,"format_version":1,"engine_version":"x","created_at":"2026-03-03T09:00:00Z","last_aof_offset":0,)"
       R"("specs":{},"states":{"a":"scheduled"},"last_runs":{},"next_runs":{},"retries_7d":{},"pending_retries":{}})",
       "unknown variant `scheduled`, expected one of `Scheduled`, `Running`, `Retrying`, `Dead`, `Orphaned`, "
       "`Paused`, `Cancelled`"},
      {R"({"v":1,"format_version":1,"engine_version":"x","created_at":"2026-03-03T09:00:00Z","last_aof_offset":0,)"
       R"("specs":{},"states":{},"last_runs":{},"next_runs":{},"retries_7d":{},"pending_retries":{"a":{"run_id":"r","attempt":1}}})",
       "missing field `next_retry_at`"},
  };
  for (const Case& c : cases) {
    const auto record = decode_snapshot(c.text);
    ASSERT_FALSE(record) << c.text;
    EXPECT_TRUE(record.error().message.starts_with(c.message_start)) << record.error().message;
  }
}

}  // namespace
}  // namespace vesk
