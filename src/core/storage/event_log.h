// Events on top of the log file: append one event, read entries back, and
// replay a log into a timer table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/state.h"
#include "storage/aof.h"
#include "storage/events.h"

namespace vesk {

// Stamps `event` with the current instant, encodes it and appends it as one
// synced line. Success means the event is durable and may be applied.
[[nodiscard]] Result<void> append_event(AofWriter& log, const Event& event);

// Every entry of the log at `path`, in file order (a torn last line is
// skipped with a warning). The file is neither created nor modified.
[[nodiscard]] Result<std::vector<LogEntry>> read_aof(const std::string& path);
// The same, from byte `offset` on; line numbers in messages count from there.
[[nodiscard]] Result<std::vector<LogEntry>> read_aof_from(const std::string& path, std::uint64_t offset);

// Applies every entry of the log from `offset` on to `table` as it is
// decoded, without holding the entries. Returns what was found at the end.
[[nodiscard]] Result<LogTail> replay_log(const std::string& path, std::uint64_t offset, EngineState& table);

// `dir` joined with a file name: "dir/name" ("dir/" keeps a single slash).
std::string join_path(std::string_view dir, std::string_view name);

inline constexpr std::string_view kLogFile = "vesk.aof";
inline constexpr std::string_view kOldLogFile = "vesk.aof.old";
inline constexpr std::string_view kSnapshotFile = "vesk.snapshot";
inline constexpr std::string_view kSnapshotTempFile = "vesk.snapshot.tmp";
inline constexpr std::string_view kLockFile = "vesk.lock";

}  // namespace vesk
