// The JSON text of a snapshot of the timer table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/state.h"
#include "json/reader.h"

namespace vesk {

inline constexpr std::string_view kEngineVersion = "0.1.1";

struct SnapshotRecord {
  std::uint8_t v = 1;
  std::uint8_t format_version = 1;
  std::string engine_version{kEngineVersion};
  Instant created_at;
  std::uint64_t last_aof_offset = 0;
  // The six durable maps; `fn_names` is never stored.
  EngineState table;
};

// Pretty JSON (two-space indent) followed by one line feed. Map members are
// written in ascending order of timer id.
std::string encode_snapshot(const EngineState& table, std::uint64_t last_aof_offset, Instant created_at);

// The whole text must hold one snapshot and nothing after it but white
// space. Versions are returned as read; checking them is the caller's part.
json::ReadResult<SnapshotRecord> decode_snapshot(std::string_view text);

}  // namespace vesk
