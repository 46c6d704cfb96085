// Snapshots of the timer table and compaction of the log.
#pragma once

#include <cstdint>
#include <string>

#include "engine/state.h"
#include "error.h"

namespace vesk {

// Writes a snapshot of `table` whose log offset is `last_aof_offset`,
// atomically replacing `vesk.snapshot`: the text goes to
// `vesk.snapshot.tmp` (mode 0600), which is fully synced, renamed over the
// snapshot, and the directory is synced so that the rename is durable.
[[nodiscard]] Result<void> write_snapshot(const std::string& data_dir, const EngineState& table,
                                          std::uint64_t last_aof_offset);

// The file part of compaction, in this order, so that a crash after any step
// leaves files that recovery reads into the same table:
//   1. measure `vesk.aof` (0 if it cannot be read);
//   2. snapshot with that length as its offset;
//   3. if the log exists: remove `vesk.aof.old` (ignoring failure), rename
//      `vesk.aof` to `vesk.aof.old`;
//   4. create a new, empty, synced `vesk.aof`;
//   5. snapshot with offset 0;
//   6. sync the directory.
// The caller holds the engine lock throughout and then reopens its writer.
[[nodiscard]] Result<void> compact_files(const std::string& data_dir, const EngineState& table);

class AofWriter;

// Compacts a running engine's log: `compact_files`, then `log` is pointed at
// the new `vesk.aof`. The caller holds the engine lock, so the table and the
// log do not change meanwhile. If compaction fails after rotating the log,
// the snapshot is rewritten to point at the new log before `log` moves there;
// if that cannot be done, `log` is closed so that no event goes to a file
// recovery would not read (the engine then stops at its next append). The
// compaction's error is returned either way.
[[nodiscard]] Result<void> compact_log(const std::string& data_dir, const EngineState& table, AofWriter& log);

}  // namespace vesk
