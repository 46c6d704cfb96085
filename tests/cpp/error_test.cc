#include "error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(EngineErrorTest, EveryKindHasItsFixedText) {
  struct Case {
    EngineError error;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {EngineError::invalid_cron("Invalid expression: Invalid cron expression."), ErrorKind::kInvalidCron,
       "invalid cron expression: Invalid expression: Invalid cron expression."},
      {EngineError::invalid_timezone("Mars/Olympus"), ErrorKind::kInvalidTimezone,
       "invalid timezone: Mars/Olympus"},
      {EngineError::timer_not_found("nightly"), ErrorKind::kTimerNotFound, "timer not found: nightly"},
      {EngineError::io("disk on fire"), ErrorKind::kIo, "log I/O error: disk on fire"},
      {EngineError::serialization("oops"), ErrorKind::kSerialization, "log serialization error: oops"},
      {EngineError::corrupt_log_line(7, "/d/vesk.aof", "trailing characters at line 1 column 3"),
       ErrorKind::kCorruptLogLine,
       "corrupt log line 7 in /d/vesk.aof: trailing characters at line 1 column 3"},
      {EngineError::already_started(), ErrorKind::kAlreadyStarted, "engine already started"},
      {EngineError::shut_down(), ErrorKind::kShutDown, "engine has already been shut down"},
      {EngineError::shutdown_timeout(1500), ErrorKind::kShutdownTimeout, "shutdown timed out after 1500ms"},
      {EngineError::directory_locked("/d/vesk.lock"), ErrorKind::kDirectoryLocked,
       "data directory is already locked: /d/vesk.lock"},
      {EngineError::invalid_snapshot("bad"), ErrorKind::kInvalidSnapshot, "invalid snapshot: bad"},
      {EngineError::ipc("no socket"), ErrorKind::kIpc, "IPC unavailable: no socket"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.text);
  }
}

TEST(EngineErrorTest, SystemErrorsCarryTheOsErrorNumber) {
  EXPECT_EQ(system_error_description(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(EngineError::io_errno(EACCES).message(), "log I/O error: Permission denied (os error 13)");
}

}  // namespace
}  // namespace vesk
