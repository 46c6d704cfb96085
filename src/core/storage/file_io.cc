#include "storage/file_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vesk {

std::unexpected<EngineError> last_os_error() { return std::unexpected(EngineError::io_errno(errno)); }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_os_error();
  return UniqueFd(fd);
}

namespace {

// Hands every byte to `put` (a write or send call), continuing after short
// writes and interruptions.
template <typename Put>
Result<void> put_all(std::string_view bytes, Put put) {
  while (!bytes.empty()) {
    const ssize_t written = put(bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (written == 0) return std::unexpected(EngineError::io("failed to write whole buffer"));
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace

Result<void> write_all(int fd, std::string_view bytes) {
  return put_all(bytes, [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

Result<void> send_all(int fd, std::string_view bytes) {
  return put_all(bytes, [fd](const char* data, std::size_t size) { return ::send(fd, data, size, MSG_NOSIGNAL); });
}

Result<std::string> read_to_end(int fd, std::uint64_t offset) {
  const auto size = descriptor_size(fd);
  if (!size) return std::unexpected(size.error());
  std::string data;
  if (offset >= *size) return data;

  // pread from an explicit position: the caller's descriptor offset is left
  // alone and no separate seek can fail.
  const auto read_at = [fd](char* buffer, std::size_t length, std::uint64_t at) -> ssize_t {
    ssize_t got;
    do {
      got = ::pread(fd, buffer, length, static_cast<off_t>(at));
    } while (got < 0 && errno == EINTR);
    return got;
  };

  int failure = 0;
  // Filled in place: the bytes are never zeroed first nor copied afterwards.
  data.resize_and_overwrite(static_cast<std::size_t>(*size - offset), [&](char* buffer, std::size_t length) {
    std::size_t filled = 0;
    while (filled < length) {
      const ssize_t got = read_at(buffer + filled, length - filled, offset + filled);
      if (got < 0) {
        failure = errno;
        break;
      }
      if (got == 0) break;  // the file shrank meanwhile
      filled += static_cast<std::size_t>(got);
    }
    return filled;
  });
  if (failure != 0) return std::unexpected(EngineError::io_errno(failure));

  // The file may have grown since it was measured: read on until the end.
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t got = read_at(chunk, sizeof chunk, offset + data.size());
    if (got < 0) return last_os_error();
    if (got == 0) break;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  return data;
}

Result<std::string> read_file(const std::string& path, std::uint64_t offset) {
  auto file = open_file(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  return read_to_end(file->get(), offset);
}

Result<void> write_private_file(const std::string& path, std::string_view text, int extra_flags) {
  auto file = open_file(path, O_WRONLY | O_CREAT | extra_flags, 0600);
  if (!file) return std::unexpected(file.error());
  // The mode of open applies only to a file it creates.
  if (::fchmod(file->get(), 0600) != 0) return last_os_error();
  if (auto written = write_all(file->get(), text); !written) return written;
  return full_sync(file->get());
}

Result<void> replace_file(const std::string& dir, const std::string& path, const std::string& temp_path,
                          std::string_view text) {
  if (auto written = write_private_file(temp_path, text, O_TRUNC); !written) return written;
  if (auto renamed = rename_file(temp_path, path); !renamed) return renamed;
  return sync_directory(dir);
}

Result<void> data_sync(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Result<void> full_sync(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Result<void> sync_directory(const std::string& path) {
  auto dir = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  return full_sync(dir->get());
}

std::string parent_directory(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

namespace {

Result<void> require_directory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  if (!S_ISDIR(st.st_mode)) return std::unexpected(EngineError::io_errno(EEXIST));
  return {};
}

}  // namespace

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return {};  // the working directory
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  if (errno == EEXIST) return require_directory(path);
  if (errno != ENOENT) return last_os_error();
  const int missing_parent = errno;

  const std::string parent = parent_directory(path);
  if (parent.empty() || parent == path) return std::unexpected(EngineError::io_errno(missing_parent));
  if (auto made = create_directories(parent); !made) return made;
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  // Someone else may have created it in the meantime.
  if (errno == EEXIST) return require_directory(path);
  return last_os_error();
}

Result<void> set_mode(const std::string& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) return last_os_error();
  return {};
}

Result<std::uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::uint64_t> descriptor_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return last_os_error();
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> truncate_file(int fd, std::uint64_t length) {
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

Result<void> remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

}  // namespace vesk
