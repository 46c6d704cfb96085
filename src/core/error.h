// The one error type of the engine, storage and control channel.
//
// Every fallible operation in the core returns `Result<T>`: either a value or
// an `EngineError`. The text of each kind is fixed; callers outside the core
// (the Python module, control replies) show `message()` unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vesk {

enum class ErrorKind : std::uint8_t {
  kInvalidCron,       // "invalid cron expression: " + detail
  kInvalidTimezone,   // "invalid timezone: " + zone name
  kTimerNotFound,     // "timer not found: " + timer id
  kIo,                // "log I/O error: " + system description
  kSerialization,     // "log serialization error: " + JSON text
  kCorruptLogLine,    // "corrupt log line N in PATH: " + JSON text
  kAlreadyStarted,    // "engine already started"
  kShutDown,          // "engine has already been shut down"
  kShutdownTimeout,   // "shutdown timed out after Nms"
  kDirectoryLocked,   // "data directory is already locked: " + path
  kInvalidSnapshot,   // "invalid snapshot: " + detail
  kIpc,               // "IPC unavailable: " + detail
};

class [[nodiscard]] EngineError {
 public:
  static EngineError invalid_cron(std::string detail);
  static EngineError invalid_timezone(std::string zone);
  static EngineError timer_not_found(std::string timer_id);
  static EngineError io(std::string description);
  // An I/O error from an errno value: "<strerror> (os error N)".
  static EngineError io_errno(int errnum);
  static EngineError serialization(std::string detail);
  static EngineError corrupt_log_line(std::uint64_t line, std::string path, std::string detail);
  static EngineError already_started();
  static EngineError shut_down();
  static EngineError shutdown_timeout(std::uint64_t limit_ms);
  static EngineError directory_locked(std::string lock_path);
  static EngineError invalid_snapshot(std::string detail);
  static EngineError ipc(std::string detail);

  ErrorKind kind() const { return kind_; }
  // The kind-specific part: the cron or duration text, the zone name, the
  // system description, the lock path and so on.
  const std::string& detail() const { return detail_; }
  // The full, user-visible text.
  std::string message() const;

  friend bool operator==(const EngineError&, const EngineError&) = default;

 private:
  EngineError(ErrorKind kind, std::string detail, std::string path = {}, std::uint64_t number = 0)
      : kind_(kind), detail_(std::move(detail)), path_(std::move(path)), number_(number) {}

  ErrorKind kind_;
  std::string detail_;
  std::string path_;        // corrupt log line: the log's path
  std::uint64_t number_;    // corrupt log line: line number; time-out: milliseconds
};

template <typename T>
using Result = std::expected<T, EngineError>;

// "<strerror text> (os error N)", the one form in which system errors are shown.
std::string system_error_description(int errnum);

}  // namespace vesk
