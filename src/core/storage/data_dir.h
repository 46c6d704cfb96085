// Opening a data directory: the lock, the log, and the table rebuilt from
// the snapshot and the log.
#pragma once

#include <string>

#include "engine/state.h"
#include "storage/aof.h"
#include "storage/lock_file.h"

namespace vesk {

// What an engine needs from its directory. The lock is held as long as
// `lock` lives.
struct OpenedStorage {
  std::string data_dir;
  DirectoryLock lock;
  AofWriter log;
  EngineState table;
};

// Creates the directory (mode 0700, also when it existed), takes the lock on
// `vesk.lock`, opens `vesk.aof` for appending and recovers the table. A torn
// last line or a missing final line feed of `vesk.aof` is mended before the
// log is handed over, so that the next append starts on a line of its own.
// When recovery had to bridge an interrupted compaction, a snapshot of the
// recovered table at the log's current end is written before the first
// append: the old snapshot's offset points into the rotated log, and once the
// new log grows past it a later recovery would read the new log from there
// and skip its first events.
// On failure every file opened is closed again (releasing the lock) and no
// file is changed, except that missing log files are created.
[[nodiscard]] Result<OpenedStorage> open_engine(const std::string& data_dir);

struct Recovered {
  EngineState table;
  LogTail log_tail;      // what reading `vesk.aof` found at its end
  bool bridged = false;  // the snapshot's offset was into `vesk.aof.old`
};

// Rebuilds the table: from `vesk.snapshot` and `vesk.aof` after the
// snapshot's offset, bridging through `vesk.aof.old` when a compaction was
// interrupted after it rotated the log; from `vesk.aof` alone when there is
// no snapshot. Only creates missing log files; modifies nothing.
[[nodiscard]] Result<Recovered> recover(const std::string& data_dir);

}  // namespace vesk
