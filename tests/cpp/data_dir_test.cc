#include "storage/data_dir.h"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "storage/compaction_steps.h"
#include "storage/event_log.h"
#include "storage/records.h"
#include "storage/snapshot.h"
#include "storage/snapshot_codec.h"
#include "temp_dir.h"
#include "test_support.h"

namespace vesk {
namespace {

using testing::at;
using testing::mode_of;
using testing::read_file;
using testing::write_file;

TimerSpec spec(const std::string& id) {
  return TimerSpec{id, EverySchedule{60}, RetryPolicy{}, "UTC", at("2026-03-02T08:00:00Z")};
}

// Events that change every durable map; a retry counts, so an event applied
// twice shows.
std::vector<Event> some_events(const std::string& id, const char* run) {
  const Instant t = at("2026-03-03T01:30:00Z");
  return {TimerCreated{spec(id)}, RunDue{id, run, t},       RunStarted{id, run, t, 1},
          RunFailed{id, run, t, "boom", 1}, RunRetrying{id, run, 2, t}};
}

std::string log_line(const Event& event) {
  return encode_log_entry(LogEntry{1, at("2026-03-03T01:30:00Z"), event}) + "\n";
}

class DataDirTest : public testing::TempDirTest {
 protected:
  std::string data() const { return path("data"); }
  std::string file(std::string_view name) const { return join_path(data(), name); }

  // Appends through a writer, as the engine does.
  void append_all(const std::vector<Event>& events) {
    auto log = AofWriter::open(file(kLogFile));
    ASSERT_TRUE(log) << log.error().message();
    for (const Event& e : events) ASSERT_TRUE(append_event(*log, e));
  }

  static EngineState applied(const std::vector<std::vector<Event>>& batches) {
    EngineState table;
    for (const auto& batch : batches) {
      for (const Event& e : batch) apply(table, e);
    }
    return table;
  }

  Result<EngineState> recovered() {
    auto result = recover(data());
    if (!result) return std::unexpected(result.error());
    return std::move(result->table);
  }

  std::map<std::string, std::string> snapshot_of_files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(data())) {
      files[entry.path().filename()] = read_file(entry.path());
    }
    return files;
  }
};

TEST_F(DataDirTest, FreshDirectoryIsCreatedPrivateWithLockAndLog) {
  testing::ScopedUmask umask(022);
  const std::string nested = path("a/b/data");
  auto opened = open_engine(nested);
  ASSERT_TRUE(opened) << opened.error().message();
  EXPECT_EQ(mode_of(nested), 0700);
  EXPECT_EQ(mode_of(path("a/b")), 0755);
  EXPECT_EQ(read_file(nested + "/vesk.lock"), "");
  EXPECT_EQ(read_file(nested + "/vesk.aof"), "");
  EXPECT_EQ(mode_of(nested + "/vesk.aof"), 0600);
  EXPECT_TRUE(opened->table.timers.empty());
}

TEST_F(DataDirTest, ExistingDirectoryIsNarrowed) {
  std::filesystem::create_directory(data());
  std::filesystem::permissions(data(), std::filesystem::perms(0755));
  ASSERT_TRUE(open_engine(data()));
  EXPECT_EQ(mode_of(data()), 0700);
}

TEST_F(DataDirTest, UnusableDirectoryIsAnIoError) {
  write_file(data(), "not a directory");
  const auto opened = open_engine(data());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message(), "log I/O error: File exists (os error 17)");
  const auto below = open_engine(data() + "/inner");
  ASSERT_FALSE(below);
  EXPECT_EQ(below.error().message(), "log I/O error: Not a directory (os error 20)");
  EXPECT_EQ(read_file(data()), "not a directory");
}

TEST_F(DataDirTest, SecondOpenIsRefusedUntilTheFirstIsReleased) {
  auto first = open_engine(data());
  ASSERT_TRUE(first);
  const auto second = open_engine(data());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(), "data directory is already locked: " + file(kLockFile));
  EXPECT_TRUE(append_event(first->log, TimerCreated{spec("a")}));  // the first is undisturbed
  first = std::unexpected(EngineError::shut_down());               // releases the lock
  auto third = open_engine(data());
  ASSERT_TRUE(third) << third.error().message();
  EXPECT_TRUE(third->table.timers.at("a").spec);
  EXPECT_TRUE(std::filesystem::exists(file(kLockFile)));
}

TEST_F(DataDirTest, LogWithoutSnapshotIsReplayedOnce) {
  append_all(some_events("a", "r1"));
  auto opened = open_engine(data());
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->table.same_durable_content(applied({some_events("a", "r1")})));
  EXPECT_EQ(opened->table.timers.at("a").retries_7d, 1u);
}

TEST_F(DataDirTest, EventsBeforeTheSnapshotOffsetAreNotAppliedAgain) {
  append_all(some_events("a", "r1"));
  const EngineState before = applied({some_events("a", "r1")});
  ASSERT_TRUE(write_snapshot(data(), before, std::filesystem::file_size(file(kLogFile))));
  append_all(some_events("b", "r2"));
  auto table = recovered();
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_TRUE(table->same_durable_content(applied({some_events("a", "r1"), some_events("b", "r2")})));
}

TEST_F(DataDirTest, SnapshotAtOffsetZeroWithoutLogCreatesTheLog) {
  std::filesystem::create_directory(data());
  const EngineState table = applied({some_events("a", "r1")});
  ASSERT_TRUE(write_snapshot(data(), table, 0));
  auto opened = open_engine(data());
  ASSERT_TRUE(opened) << opened.error().message();
  EXPECT_TRUE(std::filesystem::exists(file(kLogFile)));
  EXPECT_TRUE(opened->table.timers.at("a").spec);
}

TEST_F(DataDirTest, BadSnapshotsAreReportedAndLeaveFilesAlone) {
  const std::string valid = encode_snapshot(applied({some_events("a", "r1")}), 0, at("2026-03-03T09:00:00Z"));
  const auto with = [&](std::string_view from, std::string_view to) {
    std::string text = valid;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string snapshot;
    std::string message;  // a prefix of the expected text
  };
  const Case cases[] = {
      {with("\"v\": 1", "\"v\": 2"), "invalid snapshot: unsupported snapshot version 2"},
      {with("\"format_version\": 1", "\"format_version\": 3"),
       "invalid snapshot: unsupported storage format version 3"},
      {with("\"format_version\": 1", "\"format_version\": 3").replace(valid.find("\"v\": 1"), 6, "\"v\": 2"),
       "invalid snapshot: unsupported snapshot version 2"},
      {with("\"engine_version\": \"0.1.1\"", "\"engine_version\": \"0.1\xC3\""),
       "log I/O error: stream did not contain valid UTF-8"},
      {valid + "x", "invalid snapshot: cannot read " + file(kSnapshotFile) + ": trailing characters at line "},
      {valid.substr(0, valid.size() / 2), "invalid snapshot: cannot read " + file(kSnapshotFile) + ": EOF while parsing"},
      {with("\"last_aof_offset\": 0", "\"last_aof_offset\": 999"),
       "invalid snapshot: snapshot points to AOF offset 999, but " + file(kLogFile) + " is shorter and " +
           file(kOldLogFile) + " is missing"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(data());
    std::filesystem::create_directory(data());
    write_file(file(kSnapshotFile), c.snapshot);
    write_file(file(kLogFile), log_line(TimerCreated{spec("x")}));
    write_file(file(kLockFile), "");
    const auto files = snapshot_of_files();
    const auto opened = open_engine(data());
    ASSERT_FALSE(opened) << c.message;
    EXPECT_TRUE(opened.error().message().starts_with(c.message)) << opened.error().message();
    EXPECT_EQ(snapshot_of_files(), files) << c.message;
  }
}

TEST_F(DataDirTest, CorruptLogsAreReportedAndLeftAlone) {
  std::filesystem::create_directory(data());
  struct Case {
    std::string log;
    std::string message;
  };
  const std::string good = log_line(TimerCreated{spec("a")});
  const Case cases[] = {
      {good + "{\"v\":1,\"ts\":\"2026-\n" + good,
       "corrupt log line 2 in " + file(kLogFile) + ": EOF while parsing a string at line 1 column 18"},
      {good + "{\"v\":1}\n", "corrupt log line 2 in " + file(kLogFile) + ": missing field `ts`"},
      {good + "\xC3\n", "log I/O error: stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) {
    write_file(file(kLogFile), c.log);
    const auto opened = open_engine(data());
    ASSERT_FALSE(opened) << c.message;
    EXPECT_TRUE(opened.error().message().starts_with(c.message)) << opened.error().message();
    EXPECT_EQ(read_file(file(kLogFile)), c.log);
  }
}

TEST_F(DataDirTest, TornTailIsCutBeforeTheNextAppend) {
  std::filesystem::create_directory(data());
  const std::string good = log_line(TimerCreated{spec("a")});
  write_file(file(kLogFile), good + good + "{\"v\":1,\"ts\":\"2026-");
  {
    ::testing::internal::CaptureStderr();
    auto opened = open_engine(data());
    const std::string warning = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << opened.error().message();
    EXPECT_EQ(warning, "[vesk] WARNING: ignoring truncated log tail at line 3 in " + file(kLogFile) +
                           ": EOF while parsing a string at line 1 column 18\n");
    EXPECT_EQ(read_file(file(kLogFile)), good + good);
    ASSERT_TRUE(append_event(opened->log, TimerCreated{spec("b")}));
  }
  const auto entries = read_aof(file(kLogFile));
  ASSERT_TRUE(entries) << entries.error().message();
  EXPECT_EQ(entries->size(), 3u);
}

TEST_F(DataDirTest, MissingFinalLineFeedIsAddedBeforeTheNextAppend) {
  std::filesystem::create_directory(data());
  std::string good = log_line(TimerCreated{spec("a")});
  good.pop_back();
  write_file(file(kLogFile), good);
  {
    auto opened = open_engine(data());
    ASSERT_TRUE(opened) << opened.error().message();
    ASSERT_TRUE(append_event(opened->log, TimerCreated{spec("b")}));
  }
  const auto entries = read_aof(file(kLogFile));
  ASSERT_TRUE(entries) << entries.error().message();
  EXPECT_EQ(entries->size(), 2u);
}

TEST_F(DataDirTest, FreshCompactionLeavesEmptyLogsAndAnOffsetZeroSnapshot) {
  std::filesystem::create_directory(data());
  ASSERT_TRUE(compact_files(data(), EngineState{}));
  EXPECT_EQ(read_file(file(kLogFile)), "");
  EXPECT_EQ(read_file(file(kOldLogFile)), "");
  EXPECT_FALSE(std::filesystem::exists(file(kSnapshotTempFile)));
  const auto record = decode_snapshot(read_file(file(kSnapshotFile)));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->last_aof_offset, 0u);
  EXPECT_EQ(mode_of(file(kSnapshotFile)), 0600);
}

// Stopping compaction after each of its steps leaves what a crash there
// would: recovery must give the same table, and what is appended afterwards
// must be applied exactly once.
TEST_F(DataDirTest, EveryCompactionCrashPointRecovers) {
  for (int stop = 1; stop <= kCompactionSteps + 1; ++stop) {
    SCOPED_TRACE("stopped after step " + std::to_string(stop));
    std::filesystem::remove_all(data());
    append_all(some_events("a", "r1"));
    {
      // A previous compaction's leftovers must not confuse anything.
      auto table = recovered();
      ASSERT_TRUE(table);
      ASSERT_TRUE(compact_files(data(), *table));
    }
    append_all(some_events("b", "r2"));
    const EngineState before = applied({some_events("a", "r1"), some_events("b", "r2")});
    {
      auto opened = open_engine(data());
      ASSERT_TRUE(opened) << opened.error().message();
      ASSERT_TRUE(opened->table.same_durable_content(before));
      auto done = run_compaction(data(), opened->table,
                                 [&](CompactionStep step) { return static_cast<int>(step) == stop; });
      ASSERT_TRUE(done) << done.error().message();
    }
    auto table = recovered();
    ASSERT_TRUE(table) << table.error().message();
    EXPECT_TRUE(table->same_durable_content(before));

    // The engine goes on: it opens the directory and appends more than the
    // interrupted compaction's snapshot offset before the next restart.
    {
      auto opened = open_engine(data());
      ASSERT_TRUE(opened) << opened.error().message();
      for (int i = 0; i < 3; ++i) {
        for (const Event& e : some_events("c" + std::to_string(i), "r3")) ASSERT_TRUE(append_event(opened->log, e));
      }
    }
    table = recovered();
    ASSERT_TRUE(table) << table.error().message();
    EXPECT_TRUE(table->same_durable_content(applied({some_events("a", "r1"), some_events("b", "r2"),
                                                     some_events("c0", "r3"), some_events("c1", "r3"),
                                                     some_events("c2", "r3")})));
  }
}

TEST_F(DataDirTest, RunningEngineCompactsAndAppendsToTheNewLog) {
  append_all(some_events("a", "r1"));
  const std::string before_compaction = read_file(file(kLogFile));
  {
    auto opened = open_engine(data());
    ASSERT_TRUE(opened);
    ASSERT_TRUE(compact_log(data(), opened->table, opened->log));
    for (const Event& e : some_events("b", "r2")) ASSERT_TRUE(append_event(opened->log, e));
  }
  EXPECT_EQ(read_file(file(kOldLogFile)), before_compaction);
  const auto entries = read_aof(file(kLogFile));
  ASSERT_TRUE(entries);
  EXPECT_EQ(entries->size(), some_events("b", "r2").size());
  auto table = recovered();
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_TRUE(table->same_durable_content(applied({some_events("a", "r1"), some_events("b", "r2")})));
}

// A compaction that fails part-way must leave the engine appending where
// recovery reads, whatever step failed.
TEST_F(DataDirTest, RunningEngineSurvivesACompactionFailingAtAnyStep) {
  for (int failing = 1; failing <= kCompactionSteps; ++failing) {
    SCOPED_TRACE("failed after step " + std::to_string(failing));
    std::filesystem::remove_all(data());
    append_all(some_events("a", "r1"));
    std::vector<std::vector<Event>> batches = {some_events("a", "r1")};
    {
      auto opened = open_engine(data());
      ASSERT_TRUE(opened);
      const auto compacted = compact_log_with(data(), opened->table, opened->log,
                                              [&](CompactionStep step) { return static_cast<int>(step) == failing; });
      ASSERT_FALSE(compacted);
      EXPECT_EQ(compacted.error().message(), "log I/O error: compaction stopped");
      for (int i = 0; i < 3; ++i) {
        batches.push_back(some_events("c" + std::to_string(i), "r3"));
        for (const Event& e : batches.back()) ASSERT_TRUE(append_event(opened->log, e));
      }
    }
    auto table = recovered();
    ASSERT_TRUE(table) << table.error().message();
    EXPECT_TRUE(table->same_durable_content(applied(batches)));
  }
}

TEST_F(DataDirTest, ClosedLogRefusesAppends) {
  auto log = AofWriter::open(file(kLogFile));
  ASSERT_TRUE(log);
  log->close();
  const auto appended = append_event(*log, TimerCreated{spec("a")});
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error().message(), "log I/O error: log is closed");
  EXPECT_EQ(read_file(file(kLogFile)), "");
}

TEST_F(DataDirTest, SecondCompactionReplacesTheOldLog) {
  append_all(some_events("a", "r1"));
  ASSERT_TRUE(compact_files(data(), applied({some_events("a", "r1")})));
  append_all(some_events("b", "r2"));
  const std::string since_first = read_file(file(kLogFile));
  ASSERT_TRUE(compact_files(data(), applied({some_events("a", "r1"), some_events("b", "r2")})));
  EXPECT_EQ(read_file(file(kOldLogFile)), since_first);
  EXPECT_EQ(read_file(file(kLogFile)), "");
}

}  // namespace
}  // namespace vesk
