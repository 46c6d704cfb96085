#include "storage/snapshot_codec.h"

#include <algorithm>
#include <vector>

#include "json/writer.h"
#include "storage/record_reader.h"
#include "storage/records.h"

namespace vesk {
namespace {

// ---- Writing.

using Timers = std::vector<const EngineState::timers_type::value_type*>;

// The table's timers in ascending order of id, so that files are stable.
Timers sorted_timers(const EngineState& table) {
  Timers timers;
  timers.reserve(table.timers.size());
  for (const auto& timer : table.timers) timers.push_back(&timer);
  std::sort(timers.begin(), timers.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  return timers;
}

// One of the table's maps: the timers that have `field`, id -> value.
template <typename V, typename WriteValue>
void write_map(json::Writer& out, std::string_view name, const Timers& timers, std::optional<V> TimerRecord::*field,
               WriteValue&& write_value) {
  out.key(name);
  out.begin_object();
  for (const auto* timer : timers) {
    const std::optional<V>& value = timer->second.*field;
    if (!value) continue;
    out.key(timer->first);
    write_value(*value);
  }
  out.end_object();
}

// ---- Reading.

template <typename T>
using Read = json::ReadResult<T>;

// An object of timer id -> value into `field` of each timer; a repeated id
// keeps the later value.
template <typename V, typename ReadValue>
Read<void> read_map(json::Reader& in, EngineState& table, std::optional<V> TimerRecord::*field,
                    ReadValue&& read_value) {
  if (auto opened = in.begin_object("a map"); !opened) return opened;
  while (true) {
    auto key = in.next_key();
    if (!key) return std::unexpected(key.error());
    if (!*key) return {};
    std::string id(**key);
    auto value = read_value();
    if (!value) return std::unexpected(value.error());
    table.at(id).*field = std::move(*value);
  }
}

Read<TimerState> read_state(json::Reader& in) {
  auto name = in.read_string();
  if (!name) return std::unexpected(name.error());
  if (auto state = timer_state_from_name(*name)) return *state;
  return std::unexpected(in.unknown_variant(*name, kTimerStateNames));
}

template <typename T>
Read<void> assign(Read<T> read, T& target) {
  if (!read) return std::unexpected(read.error());
  target = std::move(*read);
  return {};
}

Read<std::string> read_owned_string(json::Reader& in) {
  auto text = in.read_string();
  if (!text) return std::unexpected(text.error());
  return std::string(*text);
}

constexpr std::string_view kLastRunFields[] = {"run_id", "finished_at", "duration_ms", "status"};

Read<LastRunInfo> read_last_run(json::Reader& in) {
  LastRunInfo run;
  if (auto opened = in.begin_object("struct LastRunInfoSnapshot"); !opened) return std::unexpected(opened.error());
  // "duration_ms" may be absent, which reads as null.
  const std::uint32_t required = 0b1011;
  auto read = records::read_members(in, kLastRunFields, required, 0, [&](std::size_t field) -> Read<void> {
    switch (field) {
      case 0: return assign(read_owned_string(in), run.run_id);
      case 1: return assign(read_timestamp(in), run.finished_at);
      case 2: {
        auto null = in.read_null();
        if (!null) return std::unexpected(null.error());
        if (*null) {
          run.duration_ms.reset();
          return {};
        }
        auto ms = in.read_u64();
        if (!ms) return std::unexpected(ms.error());
        run.duration_ms = *ms;
        return {};
      }
      default: return assign(read_owned_string(in), run.status);
    }
  });
  if (!read) return std::unexpected(read.error());
  return run;
}

constexpr std::string_view kPendingRetryFields[] = {"run_id", "next_retry_at", "attempt"};

Read<PendingRetry> read_pending_retry(json::Reader& in) {
  PendingRetry retry;
  if (auto opened = in.begin_object("struct PendingRetrySnapshot"); !opened) return std::unexpected(opened.error());
  auto read = records::read_members(in, kPendingRetryFields, records::all_of(3), 0, [&](std::size_t field) -> Read<void> {
    switch (field) {
      case 0: return assign(read_owned_string(in), retry.run_id);
      case 1: return assign(read_timestamp(in), retry.next_retry_at);
      default: return assign(in.read_u32(), retry.attempt);
    }
  });
  if (!read) return std::unexpected(read.error());
  return retry;
}

constexpr std::string_view kSnapshotFields[] = {
    "v",     "format_version", "engine_version", "created_at", "last_aof_offset", "specs",
    "states", "last_runs",     "next_runs",      "retries_7d", "pending_retries",
};

}  // namespace

std::string encode_snapshot(const EngineState& table, std::uint64_t last_aof_offset, Instant created_at) {
  std::string text;
  text.reserve(256 + table.timers.size() * 512);
  json::Writer out(text, json::Style::kPretty);
  out.begin_object();
  out.key("v");
  out.u64(1);
  out.key("format_version");
  out.u64(1);
  out.key("engine_version");
  out.string(kEngineVersion);
  out.key("created_at");
  write_timestamp(out, created_at);
  out.key("last_aof_offset");
  out.u64(last_aof_offset);
  const Timers timers = sorted_timers(table);
  write_map(out, "specs", timers, &TimerRecord::spec, [&](const TimerSpec& spec) { write_timer_spec(out, spec); });
  write_map(out, "states", timers, &TimerRecord::state, [&](TimerState state) { out.string(timer_state_name(state)); });
  write_map(out, "last_runs", timers, &TimerRecord::last_run, [&](const LastRunInfo& run) {
    out.begin_object();
    out.key("run_id");
    out.string(run.run_id);
    out.key("finished_at");
    write_timestamp(out, run.finished_at);
    out.key("duration_ms");
    if (run.duration_ms) {
      out.u64(*run.duration_ms);
    } else {
      out.null();
    }
    out.key("status");
    out.string(run.status);
    out.end_object();
  });
  write_map(out, "next_runs", timers, &TimerRecord::next_run, [&](Instant at) { write_timestamp(out, at); });
  write_map(out, "retries_7d", timers, &TimerRecord::retries_7d, [&](std::uint32_t count) { out.u64(count); });
  write_map(out, "pending_retries", timers, &TimerRecord::pending_retry, [&](const PendingRetry& retry) {
    out.begin_object();
    out.key("run_id");
    out.string(retry.run_id);
    out.key("next_retry_at");
    write_timestamp(out, retry.next_retry_at);
    out.key("attempt");
    out.u64(retry.attempt);
    out.end_object();
  });
  out.end_object();
  text.push_back('\n');
  return text;
}

json::ReadResult<SnapshotRecord> decode_snapshot(std::string_view text) {
  json::Reader in(text);
  SnapshotRecord record;
  EngineState& t = record.table;
  if (auto opened = in.begin_object("struct Snapshot"); !opened) return std::unexpected(opened.error());
  auto read = records::read_members(
      in, kSnapshotFields, records::all_of(std::size(kSnapshotFields)), 0, [&](std::size_t field) -> Read<void> {
        switch (field) {
          case 0: return assign(in.read_u8(), record.v);
          case 1: return assign(in.read_u8(), record.format_version);
          case 2: return assign(read_owned_string(in), record.engine_version);
          case 3: return assign(read_timestamp(in), record.created_at);
          case 4: return assign(in.read_u64(), record.last_aof_offset);
          case 5: return read_map(in, t, &TimerRecord::spec, [&] { return read_timer_spec(in); });
          case 6: return read_map(in, t, &TimerRecord::state, [&] { return read_state(in); });
          case 7: return read_map(in, t, &TimerRecord::last_run, [&] { return read_last_run(in); });
          case 8: return read_map(in, t, &TimerRecord::next_run, [&] { return read_timestamp(in); });
          case 9: return read_map(in, t, &TimerRecord::retries_7d, [&] { return in.read_u32(); });
          default: return read_map(in, t, &TimerRecord::pending_retry, [&] { return read_pending_retry(in); });
        }
      });
  if (!read) return std::unexpected(read.error());
  if (auto end = in.finish(); !end) return std::unexpected(end.error());
  return record;
}

}  // namespace vesk
