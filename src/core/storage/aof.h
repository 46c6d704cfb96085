// The event log `vesk.aof`: one JSON record per line, each line ending in a
// line feed, appended and synced one event at a time.
//
// A crash can leave the last line incomplete (torn) or complete but without
// its line feed. Reading tolerates exactly that damage at the very end of the
// log and reports it, so that engine open can mend the file before appending
// again; damage anywhere else is a corrupt log line.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "error.h"
#include "json/reader.h"
#include "storage/file_io.h"

namespace vesk {

// Appends lines to the log, each one durable before `append_line` returns.
class AofWriter {
 public:
  // Creates the missing parent directories (mode 0777 less the umask) and
  // opens `path` for appending. A new file gets mode 0600; an existing file
  // keeps its mode and contents and is not read.
  [[nodiscard]] static Result<AofWriter> open(std::string path);

  AofWriter(AofWriter&&) noexcept = default;
  AofWriter& operator=(AofWriter&&) noexcept = default;
  AofWriter(const AofWriter&) = delete;
  AofWriter& operator=(const AofWriter&) = delete;

  // Appends `encoded` and a line feed, then syncs the data. Success means the
  // line is on disk. On failure the file is cut back (best effort) to its
  // length before the call, so that a half-written line never ends up in the
  // middle of the log once later appends succeed; the original error is
  // returned. `encoded` must not contain a line feed (a serialization error).
  [[nodiscard]] Result<void> append_line(std::string_view encoded);

  const std::string& path() const { return path_; }

  // Whether the open file is still the one named `path()`: compaction
  // renames the log away underneath its writer.
  bool still_at_path() const;

  // Closes the file; every later append fails. Used when appending to the
  // open file could write events that recovery would not read.
  void close() { fd_.reset(); }
  bool is_open() const { return fd_.valid(); }

 private:
  AofWriter(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

  std::string path_;
  UniqueFd fd_;
  std::string buffer_;  // the line and its line feed, reused across appends
};

using LineResult = std::expected<void, json::ReadError>;

// A borrowed callable taking one line and deciding whether it decodes. It
// neither owns nor copies the callable, so it must not outlive it: pass a
// lambda straight to the function that takes a `LineVisitor`.
class LineVisitor {
 public:
  template <typename F>
    requires(!std::same_as<std::remove_cvref_t<F>, LineVisitor> && std::is_object_v<std::remove_reference_t<F>> &&
             std::is_invocable_r_v<LineResult, F&, std::string_view>)
  LineVisitor(F&& callable)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, std::string_view line) -> LineResult {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), line);
        }) {}

  LineResult operator()(std::string_view line) const { return call_(object_, line); }

 private:
  void* object_;
  LineResult (*call_)(void*, std::string_view);
};

// What reading found at the end of the log.
struct LogTail {
  // The last non-blank line ended before its record did (the visitor
  // reported an end-of-input error for it). It was skipped with a warning.
  bool torn = false;
  // Absolute offset just past the last whole line read: where the torn line
  // begins, otherwise the end of what was read.
  std::uint64_t complete_end = 0;
  // The last line decoded but the file does not end in a line feed.
  bool missing_final_newline = false;
};

// Calls `visit` for every non-blank line of the log from byte `offset` on,
// in order, with Unicode white space (and so a carriage return before the
// line feed) trimmed from both ends. The whole rest of the file is read and
// checked to be UTF-8 before the first line is visited.
//
// Lines are numbered from 1 at `offset`, blank lines included. When `visit`
// fails for line N: if N is the last non-blank line and the failure is an
// end-of-input one, a crash tore that line; it is reported in the result and
// with a warning on stderr, and reading succeeds. Any other failure is
// "corrupt log line N in PATH: <message>".
//
// The file is never modified, nor created when missing.
[[nodiscard]] Result<LogTail> for_each_log_line(const std::string& path, std::uint64_t offset, LineVisitor visit);

// Mends the damage `tail` reports: cuts a torn line away or adds the missing
// line feed, then syncs. Only engine open calls it, on `vesk.aof`, while it
// holds the directory lock and before it appends; nothing else may change a
// log that a reader has merely looked at.
[[nodiscard]] Result<void> repair_log_tail(const std::string& path, const LogTail& tail);

}  // namespace vesk
