// Thin, error-as-value wrappers over the POSIX file calls the storage layer
// needs.
//
// Every descriptor is opened close-on-exec, so that a job process started by
// the engine never inherits the log or the lock. Calls interrupted by a
// signal are retried. A failing call becomes an I/O `EngineError` whose text
// is "<strerror> (os error N)".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "error.h"

namespace vesk {

// The I/O error of the current `errno`. Call it right after the failing call,
// before anything else can overwrite `errno`.
[[nodiscard]] std::unexpected<EngineError> last_os_error();

// An owned file descriptor, closed when the owner goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the owned descriptor (if any) and takes `fd`. An error of close()
  // is not reported: on Linux the descriptor is gone either way, and data
  // durability is decided by the sync calls, never by close.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC added to `flags`.
Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);

// Writes every byte, continuing after short writes. A write that accepts no
// bytes at all is an error ("failed to write whole buffer") rather than a
// loop without end.
Result<void> write_all(int fd, std::string_view bytes);

// `write_all` for a connected socket: a peer that has gone away is an EPIPE
// error, never a SIGPIPE.
Result<void> send_all(int fd, std::string_view bytes);

// Reads from `offset` to the end of the file. The result is sized from the
// file's length up front, so a large file is read without regrowth; a file
// that grows or shrinks meanwhile is still read to its actual end.
Result<std::string> read_to_end(int fd, std::uint64_t offset);

// Reads the whole file at `path` from `offset` on (see read_to_end).
Result<std::string> read_file(const std::string& path, std::uint64_t offset = 0);

// Writes `text` to a file that is private (0600) from its first moment and
// syncs it. `extra_flags`: O_EXCL for a new file, O_TRUNC to overwrite.
Result<void> write_private_file(const std::string& path, std::string_view text, int extra_flags);

// Replaces the file `path` in directory `dir` so that a crash leaves either
// the old or the new content: `text` goes to the private file `temp_path`,
// which is synced and renamed over `path`; then the directory is synced.
Result<void> replace_file(const std::string& dir, const std::string& path, const std::string& temp_path,
                          std::string_view text);

Result<void> data_sync(int fd);  // fdatasync(2)
Result<void> full_sync(int fd);  // fsync(2)

// Makes a directory's entries (a created, renamed or removed name) durable.
Result<void> sync_directory(const std::string& path);

// Like `mkdir -p`: creates `path` and its missing parents with mode 0777
// (less the umask). An existing directory is fine; an existing non-directory
// is an error.
Result<void> create_directories(const std::string& path);

// The directory part of `path`: "a/b" for "a/b/c" and "a/b/c/", "/" for
// "/c", empty for a bare name.
std::string parent_directory(std::string_view path);

Result<void> set_mode(const std::string& path, mode_t mode);
Result<std::uint64_t> file_size(const std::string& path);
Result<std::uint64_t> descriptor_size(int fd);
Result<void> truncate_file(int fd, std::uint64_t length);
Result<void> rename_file(const std::string& from, const std::string& to);
Result<void> remove_file(const std::string& path);

}  // namespace vesk
