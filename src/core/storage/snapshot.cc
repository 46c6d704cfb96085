#include "storage/snapshot.h"

#include <fcntl.h>

#include "storage/compaction_steps.h"
#include "storage/event_log.h"
#include "storage/file_io.h"
#include "storage/snapshot_codec.h"

namespace vesk {

Result<void> write_snapshot(const std::string& data_dir, const EngineState& table, std::uint64_t last_aof_offset) {
  if (auto created = create_directories(data_dir); !created) return created;
  const std::string text = encode_snapshot(table, last_aof_offset, Instant::now());
  return replace_file(data_dir, join_path(data_dir, kSnapshotFile), join_path(data_dir, kSnapshotTempFile), text);
}

std::optional<std::uint64_t> log_length(const std::string& data_dir) {
  auto size = file_size(join_path(data_dir, kLogFile));
  return size ? std::optional(*size) : std::nullopt;
}

void remove_old_log(const std::string& data_dir) {
  // Usually there is none yet; any failure shows up in the rename that follows.
  (void)remove_file(join_path(data_dir, kOldLogFile));
}

Result<void> rotate_log(const std::string& data_dir) {
  return rename_file(join_path(data_dir, kLogFile), join_path(data_dir, kOldLogFile));
}

Result<void> create_empty_log(const std::string& data_dir) {
  auto file = open_file(join_path(data_dir, kLogFile), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!file) return std::unexpected(file.error());
  return full_sync(file->get());
}

Result<void> compact_log(const std::string& data_dir, const EngineState& table, AofWriter& log) {
  return compact_log_with(data_dir, table, log, [](CompactionStep) { return false; });
}

Result<void> compact_files(const std::string& data_dir, const EngineState& table) {
  auto done = run_compaction(data_dir, table, [](CompactionStep) { return false; });
  if (!done) return std::unexpected(done.error());
  return {};
}

}  // namespace vesk
