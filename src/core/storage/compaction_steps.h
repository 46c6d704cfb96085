// Compaction as a sequence of steps that a test can stop after any one of
// them, to leave the files a crash at that point would leave. The product
// instantiates it with a policy that never stops, which compiles away.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/state.h"
#include "error.h"
#include "storage/aof.h"
#include "storage/file_io.h"

namespace vesk {

enum class CompactionStep : std::uint8_t {
  kMeasured = 1,
  kFirstSnapshot,
  kOldLogRemoved,
  kLogRotated,
  kNewLogCreated,
  kSecondSnapshot,
  kDirectorySynced,
};
inline constexpr int kCompactionSteps = 7;

// Helpers of the sequence; defined in snapshot.cc.
// The log's length, or nothing when there is no log.
std::optional<std::uint64_t> log_length(const std::string& data_dir);
void remove_old_log(const std::string& data_dir);
[[nodiscard]] Result<void> rotate_log(const std::string& data_dir);
[[nodiscard]] Result<void> create_empty_log(const std::string& data_dir);
[[nodiscard]] Result<void> write_snapshot(const std::string& data_dir, const EngineState& table,
                                          std::uint64_t last_aof_offset);

// Returns true when every step ran, false when `stop_after` stopped it.
template <typename StopAfter>
[[nodiscard]] Result<bool> run_compaction(const std::string& data_dir, const EngineState& table, StopAfter&& stop_after) {
  const std::optional<std::uint64_t> size = log_length(data_dir);
  if (stop_after(CompactionStep::kMeasured)) return false;

  if (auto written = write_snapshot(data_dir, table, size.value_or(0)); !written) {
    return std::unexpected(written.error());
  }
  if (stop_after(CompactionStep::kFirstSnapshot)) return false;

  if (size) {
    remove_old_log(data_dir);
    if (stop_after(CompactionStep::kOldLogRemoved)) return false;
    if (auto rotated = rotate_log(data_dir); !rotated) return std::unexpected(rotated.error());
  }
  if (stop_after(CompactionStep::kLogRotated)) return false;

  if (auto created = create_empty_log(data_dir); !created) return std::unexpected(created.error());
  if (stop_after(CompactionStep::kNewLogCreated)) return false;

  if (auto written = write_snapshot(data_dir, table, 0); !written) return std::unexpected(written.error());
  if (stop_after(CompactionStep::kSecondSnapshot)) return false;

  if (auto synced = sync_directory(data_dir); !synced) return std::unexpected(synced.error());
  if (stop_after(CompactionStep::kDirectorySynced)) return false;
  return true;
}

// Compaction of a running engine's log (see compact_log), stoppable like
// run_compaction; a stop counts as a failure of the step after it.
template <typename StopAfter>
[[nodiscard]] Result<void> compact_log_with(const std::string& data_dir, const EngineState& table, AofWriter& log,
                                            StopAfter&& stop_after) {
  auto ran = run_compaction(data_dir, table, stop_after);
  Result<void> files;
  if (!ran) {
    files = std::unexpected(ran.error());
  } else if (!*ran) {
    files = std::unexpected(EngineError::io("compaction stopped"));
  }
  // Not rotated (or failed before the rotation): the log is where it was and
  // the snapshot's offset is within it, so appends may go on as before.
  if (log.still_at_path()) return files;

  // Rotated. Appends must now go to a new log whose start the snapshot
  // points at: with a snapshot still pointing into the old log, a new log
  // grown past that offset would be read from there and lose its start.
  if (!files) {
    if (auto rewritten = write_snapshot(data_dir, table, 0); !rewritten) {
      log.close();
      return files;
    }
  }
  auto fresh = AofWriter::open(log.path());
  if (!fresh) {
    log.close();
    return files ? Result<void>(std::unexpected(fresh.error())) : files;
  }
  log = std::move(*fresh);
  return files;
}

}  // namespace vesk
