#include "storage/event_log.h"

#include "storage/records.h"

namespace vesk {

Result<void> append_event(AofWriter& log, const Event& event) {
  return log.append_line(encode_log_entry(LogEntry{1, Instant::now(), event}));
}

Result<std::vector<LogEntry>> read_aof_from(const std::string& path, std::uint64_t offset) {
  std::vector<LogEntry> entries;
  auto read = for_each_log_line(path, offset, [&](std::string_view line) -> LineResult {
    auto entry = decode_log_entry(line);
    if (!entry) return std::unexpected(std::move(entry.error()));
    entries.push_back(std::move(*entry));
    return {};
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return entries;
}

Result<std::vector<LogEntry>> read_aof(const std::string& path) { return read_aof_from(path, 0); }

Result<LogTail> replay_log(const std::string& path, std::uint64_t offset, EngineState& table) {
  return for_each_log_line(path, offset, [&](std::string_view line) -> LineResult {
    auto entry = decode_log_entry(line);
    if (!entry) return std::unexpected(std::move(entry.error()));
    vesk::apply(table, entry->event);
    return {};
  });
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

}  // namespace vesk
