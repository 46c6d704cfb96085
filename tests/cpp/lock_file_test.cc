#include "storage/lock_file.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vesk {
namespace {

using testing::mode_of;
using testing::read_file;
using testing::write_file;

using DirectoryLockTest = testing::TempDirTest;

TEST_F(DirectoryLockTest, OnlyOneHolderAtATime) {
  const testing::ScopedUmask umask(022);
  const std::string lock_path = path("vesk.lock");
  std::optional<DirectoryLock> first;
  {
    auto acquired = DirectoryLock::acquire(lock_path);
    ASSERT_TRUE(acquired) << acquired.error().message();
    first.emplace(std::move(*acquired));
  }
  EXPECT_EQ(first->path(), lock_path);
  EXPECT_EQ(mode_of(lock_path), 0600);

  const auto second = DirectoryLock::acquire(lock_path);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), ErrorKind::kDirectoryLocked);
  EXPECT_EQ(second.error().message(), "data directory is already locked: " + lock_path);

  // Moving the lock keeps it held.
  DirectoryLock moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(DirectoryLock::acquire(lock_path));

  {
    const DirectoryLock released = std::move(moved);
  }
  const auto third = DirectoryLock::acquire(lock_path);
  ASSERT_TRUE(third) << third.error().message();
  EXPECT_EQ(read_file(lock_path), "");
}

TEST_F(DirectoryLockTest, ExistingFileIsLockedAsItIs) {
  const std::string lock_path = path("vesk.lock");
  write_file(lock_path, "left by someone");
  const auto lock = DirectoryLock::acquire(lock_path);
  ASSERT_TRUE(lock) << lock.error().message();
  EXPECT_EQ(read_file(lock_path), "left by someone");
}

TEST_F(DirectoryLockTest, UnopenableLockFileIsAnIoError) {
  write_file(path("plain"), "");
  struct Case {
    std::string lock_path;
    const char* error;
  };
  const Case cases[] = {
      {path("plain/vesk.lock"), "log I/O error: Not a directory (os error 20)"},
      {path("missing/vesk.lock"), "log I/O error: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    const auto lock = DirectoryLock::acquire(c.lock_path);
    ASSERT_FALSE(lock) << c.lock_path;
    EXPECT_EQ(lock.error().message(), c.error);
  }
}

}  // namespace
}  // namespace vesk
