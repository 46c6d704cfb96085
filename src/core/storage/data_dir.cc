#include "storage/data_dir.h"

#include <fcntl.h>

#include "storage/event_log.h"
#include "storage/file_io.h"
#include "storage/snapshot.h"
#include "storage/snapshot_codec.h"
#include "utf8.h"

namespace vesk {
namespace {

// Opening creates the log when it is missing, as every reader of the
// directory's logs expects one to exist afterwards.
Result<LogTail> replay_creating(const std::string& path, std::uint64_t offset, EngineState& table) {
  if (auto created = AofWriter::open(path); !created) return std::unexpected(created.error());
  return replay_log(path, offset, table);
}

Result<SnapshotRecord> load_snapshot(const std::string& path) {
  auto text = read_file(path);
  if (!text) return std::unexpected(text.error());
  if (!is_valid_utf8(*text)) return std::unexpected(EngineError::io("stream did not contain valid UTF-8"));
  auto record = decode_snapshot(*text);
  if (!record) return std::unexpected(EngineError::invalid_snapshot("cannot read " + path + ": " + record.error().message));
  if (record->v != 1) {
    return std::unexpected(EngineError::invalid_snapshot("unsupported snapshot version " + std::to_string(record->v)));
  }
  if (record->format_version != 1) {
    return std::unexpected(
        EngineError::invalid_snapshot("unsupported storage format version " + std::to_string(record->format_version)));
  }
  return std::move(*record);
}

}  // namespace

Result<Recovered> recover(const std::string& data_dir) {
  const std::string log_path = join_path(data_dir, kLogFile);
  const std::string snapshot_path = join_path(data_dir, kSnapshotFile);
  Recovered result;

  if (!file_size(snapshot_path)) {
    auto tail = replay_creating(log_path, 0, result.table);
    if (!tail) return std::unexpected(tail.error());
    result.log_tail = *tail;
    return result;
  }

  auto snapshot = load_snapshot(snapshot_path);
  if (!snapshot) return std::unexpected(snapshot.error());
  result.table = std::move(snapshot->table);
  const std::uint64_t offset = snapshot->last_aof_offset;

  const auto log_length = file_size(log_path);
  const bool log_too_short = log_length ? *log_length < offset : offset > 0;
  if (!log_too_short) {
    auto tail = replay_creating(log_path, offset, result.table);
    if (!tail) return std::unexpected(tail.error());
    result.log_tail = *tail;
    return result;
  }

  // A compaction stopped after rotating the log: the snapshot's offset is
  // into the rotated log, and the new log follows it.
  const std::string old_path = join_path(data_dir, kOldLogFile);
  if (!file_size(old_path)) {
    return std::unexpected(EngineError::invalid_snapshot("snapshot points to AOF offset " + std::to_string(offset) +
                                                         ", but " + log_path + " is shorter and " + old_path +
                                                         " is missing"));
  }
  if (auto old_tail = replay_creating(old_path, offset, result.table); !old_tail) {
    return std::unexpected(old_tail.error());
  }
  auto tail = replay_creating(log_path, 0, result.table);
  if (!tail) return std::unexpected(tail.error());
  result.log_tail = *tail;
  result.bridged = true;
  return result;
}

Result<OpenedStorage> open_engine(const std::string& data_dir) {
  if (auto created = create_directories(data_dir); !created) return std::unexpected(created.error());
  if (auto narrowed = set_mode(data_dir, 0700); !narrowed) return std::unexpected(narrowed.error());
  auto lock = DirectoryLock::acquire(join_path(data_dir, kLockFile));
  if (!lock) return std::unexpected(lock.error());
  auto log = AofWriter::open(join_path(data_dir, kLogFile));
  if (!log) return std::unexpected(log.error());
  auto recovered = recover(data_dir);
  if (!recovered) return std::unexpected(recovered.error());
  if (auto mended = repair_log_tail(log->path(), recovered->log_tail); !mended) return std::unexpected(mended.error());
  if (recovered->bridged) {
    auto length = file_size(log->path());
    if (!length) return std::unexpected(length.error());
    if (auto written = write_snapshot(data_dir, recovered->table, *length); !written) {
      return std::unexpected(written.error());
    }
  }
  return OpenedStorage{data_dir, std::move(*lock), std::move(*log), std::move(recovered->table)};
}

}  // namespace vesk
