#include "storage/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace vesk {

Result<DirectoryLock> DirectoryLock::acquire(const std::string& lock_path) {
  auto fd = open_file(lock_path, O_RDWR | O_CREAT, 0600);
  if (!fd) return std::unexpected(fd.error());
  int locked;
  do {
    locked = ::flock(fd->get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return std::unexpected(EngineError::directory_locked(lock_path));
  return DirectoryLock(lock_path, std::move(*fd));
}

}  // namespace vesk
