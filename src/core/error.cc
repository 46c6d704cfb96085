#include "error.h"

#include <cstring>

namespace vesk {

EngineError EngineError::invalid_cron(std::string detail) {
  return {ErrorKind::kInvalidCron, std::move(detail)};
}
EngineError EngineError::invalid_timezone(std::string zone) {
  return {ErrorKind::kInvalidTimezone, std::move(zone)};
}
EngineError EngineError::timer_not_found(std::string timer_id) {
  return {ErrorKind::kTimerNotFound, std::move(timer_id)};
}
EngineError EngineError::io(std::string description) {
  return {ErrorKind::kIo, std::move(description)};
}
EngineError EngineError::io_errno(int errnum) { return io(system_error_description(errnum)); }
EngineError EngineError::serialization(std::string detail) {
  return {ErrorKind::kSerialization, std::move(detail)};
}
EngineError EngineError::corrupt_log_line(std::uint64_t line, std::string path, std::string detail) {
  return {ErrorKind::kCorruptLogLine, std::move(detail), std::move(path), line};
}
EngineError EngineError::already_started() { return {ErrorKind::kAlreadyStarted, {}}; }
EngineError EngineError::shut_down() { return {ErrorKind::kShutDown, {}}; }
EngineError EngineError::shutdown_timeout(std::uint64_t limit_ms) {
  return {ErrorKind::kShutdownTimeout, {}, {}, limit_ms};
}
EngineError EngineError::directory_locked(std::string lock_path) {
  return {ErrorKind::kDirectoryLocked, std::move(lock_path)};
}
EngineError EngineError::invalid_snapshot(std::string detail) {
  return {ErrorKind::kInvalidSnapshot, std::move(detail)};
}
EngineError EngineError::ipc(std::string detail) { return {ErrorKind::kIpc, std::move(detail)}; }

std::string EngineError::message() const {
  switch (kind_) {
    case ErrorKind::kInvalidCron: return "invalid cron expression: " + detail_;
    case ErrorKind::kInvalidTimezone: return "invalid timezone: " + detail_;
    case ErrorKind::kTimerNotFound: return "timer not found: " + detail_;
    case ErrorKind::kIo: return "log I/O error: " + detail_;
    case ErrorKind::kSerialization: return "log serialization error: " + detail_;
    case ErrorKind::kCorruptLogLine:
      return "corrupt log line " + std::to_string(number_) + " in " + path_ + ": " + detail_;
    case ErrorKind::kAlreadyStarted: return "engine already started";
    case ErrorKind::kShutDown: return "engine has already been shut down";
    case ErrorKind::kShutdownTimeout:
      return "shutdown timed out after " + std::to_string(number_) + "ms";
    case ErrorKind::kDirectoryLocked: return "data directory is already locked: " + detail_;
    case ErrorKind::kInvalidSnapshot: return "invalid snapshot: " + detail_;
    case ErrorKind::kIpc: return "IPC unavailable: " + detail_;
  }
  return detail_;
}

std::string system_error_description(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace vesk
