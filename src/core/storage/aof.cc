#include "storage/aof.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "utf8.h"

namespace vesk {
namespace {

constexpr mode_t kNewLogMode = 0600;

// A line's buffer larger than this is not kept for the next append.
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

void warn_torn_tail(std::uint64_t line, const std::string& path, const std::string& message) {
  const std::string text = "[vesk] WARNING: ignoring truncated log tail at line " + std::to_string(line) + " in " +
                           path + ": " + message + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Where the last line that is not blank begins, or npos.
std::size_t last_non_blank_line(std::string_view text) {
  std::size_t end = text.size();
  for (;;) {
    const std::size_t newline = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    if (!trim_unicode_space(text.substr(start, end - start)).empty()) return start;
    if (newline == std::string_view::npos) return std::string_view::npos;
    end = newline;
  }
}

}  // namespace

Result<AofWriter> AofWriter::open(std::string path) {
  const std::string parent = parent_directory(path);
  if (auto made = create_directories(parent); !made) return std::unexpected(made.error());
  const bool existed = file_size(path).has_value();
  auto fd = open_file(path, O_WRONLY | O_APPEND | O_CREAT, kNewLogMode);
  if (!fd) return std::unexpected(fd.error());
  // A new file's name must survive a crash as much as the lines synced into
  // it later; an existing log's name is durable already.
  if (!existed) {
    if (auto synced = sync_directory(parent.empty() ? "." : parent); !synced) return std::unexpected(synced.error());
  }
  return AofWriter(std::move(path), std::move(*fd));
}

bool AofWriter::still_at_path() const {
  struct stat open_file_info;
  struct stat named_file_info;
  return fd_ && ::fstat(fd_.get(), &open_file_info) == 0 && ::stat(path_.c_str(), &named_file_info) == 0 &&
         open_file_info.st_dev == named_file_info.st_dev && open_file_info.st_ino == named_file_info.st_ino;
}

Result<void> AofWriter::append_line(std::string_view encoded) {
  if (!fd_) return std::unexpected(EngineError::io("log is closed"));
  // A line feed inside a record would split it into two lines on reading.
  if (encoded.find('\n') != std::string_view::npos) {
    return std::unexpected(EngineError::serialization("record contains a line feed"));
  }
  const auto size_before = descriptor_size(fd_.get());
  if (!size_before) return std::unexpected(size_before.error());

  buffer_.clear();
  buffer_.reserve(encoded.size() + 1);
  buffer_.append(encoded);
  buffer_.push_back('\n');
  Result<void> result = write_all(fd_.get(), buffer_);
  if (result) result = data_sync(fd_.get());
  if (buffer_.capacity() > kKeptBufferCapacity) buffer_ = std::string();

  if (!result) {
    // Best effort: if this fails too, the torn bytes are at the end of the
    // log, where reading tolerates them and engine open cuts them away.
    if (truncate_file(fd_.get(), *size_before)) (void)data_sync(fd_.get());
  }
  return result;
}

Result<LogTail> for_each_log_line(const std::string& path, std::uint64_t offset, LineVisitor visit) {
  const auto data = read_file(path, offset);
  if (!data) return std::unexpected(data.error());

  const std::string_view text = *data;
  LogTail tail;
  tail.complete_end = offset + text.size();
  if (!is_valid_utf8(text)) return std::unexpected(EngineError::io("stream did not contain valid UTF-8"));

  const std::size_t last_start = last_non_blank_line(text);
  if (last_start == std::string_view::npos) return tail;

  std::uint64_t number = 0;
  std::size_t start = 0;
  // Lines after the last non-blank one are blank: the loop stops there.
  while (start <= last_start) {
    const std::size_t newline = text.find('\n', start);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    ++number;
    // Trimming also drops the carriage return of a CRLF line end.
    const std::string_view line = trim_unicode_space(text.substr(start, end - start));
    if (!line.empty()) {
      auto visited = visit(line);
      if (!visited) {
        json::ReadError& error = visited.error();
        if (start == last_start && error.at_eof) {
          warn_torn_tail(number, path, error.message);
          tail.torn = true;
          tail.complete_end = offset + start;
          return tail;
        }
        return std::unexpected(EngineError::corrupt_log_line(number, path, std::move(error.message)));
      }
    }
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  tail.missing_final_newline = text.back() != '\n';
  return tail;
}

Result<void> repair_log_tail(const std::string& path, const LogTail& tail) {
  if (!tail.torn && !tail.missing_final_newline) return {};
  auto file = open_file(path, O_WRONLY | O_APPEND);
  if (!file) return std::unexpected(file.error());
  const Result<void> mended =
      tail.torn ? truncate_file(file->get(), tail.complete_end) : write_all(file->get(), "\n");
  if (!mended) return mended;
  return data_sync(file->get());
}

}  // namespace vesk
