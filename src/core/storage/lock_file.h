// The exclusive lock that keeps two engines out of one data directory.
#pragma once

#include <string>

#include "error.h"
#include "storage/file_io.h"

namespace vesk {

// An advisory flock(2) on a lock file, held for the lifetime of the object.
//
// The lock belongs to the open file description, not to the process, so a
// second acquire of the same path fails even within one process, and the
// lock goes away by itself when the process dies. The file stays empty and is
// left in place on release: removing it could let a third party lock a new
// file of the same name while someone still holds the old one.
class DirectoryLock {
 public:
  // Opens (creating with mode 0600 if needed) and locks `lock_path` without
  // waiting. If the lock is taken, or cannot be taken at all, the error is
  // "data directory is already locked: <lock_path>".
  [[nodiscard]] static Result<DirectoryLock> acquire(const std::string& lock_path);

  DirectoryLock(DirectoryLock&&) noexcept = default;
  DirectoryLock& operator=(DirectoryLock&&) noexcept = default;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  const std::string& path() const { return path_; }

 private:
  DirectoryLock(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

  std::string path_;
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace vesk
