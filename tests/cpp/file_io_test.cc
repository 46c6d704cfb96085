#include "storage/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vesk {
namespace {

using testing::mode_of;
using testing::read_file;
using testing::write_file;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

using FileIoTest = testing::TempDirTest;

TEST_F(FileIoTest, UniqueFdClosesExactlyOnce) {
  auto opened = open_file(path("f"), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(opened) << opened.error().message();
  const int fd = opened->get();
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  {
    UniqueFd moved = std::move(*opened);
    EXPECT_FALSE(opened->valid());
    EXPECT_EQ(moved.get(), fd);
    UniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_FALSE(moved.valid());
    EXPECT_TRUE(is_open(fd));
  }
  EXPECT_FALSE(is_open(fd));

  auto again = open_file(path("f"), O_RDONLY);
  ASSERT_TRUE(again);
  const int kept = again->release();
  again->reset();
  EXPECT_TRUE(is_open(kept));
  UniqueFd(kept).reset();
  EXPECT_FALSE(is_open(kept));
}

TEST_F(FileIoTest, WriteReadSizeAndTruncate) {
  auto fd = open_file(path("f"), O_RDWR | O_CREAT | O_APPEND, 0600);
  ASSERT_TRUE(fd);
  const std::string big(200'000, 'x');  // more than one read chunk
  ASSERT_TRUE(write_all(fd->get(), "head:"));
  ASSERT_TRUE(write_all(fd->get(), big));
  ASSERT_TRUE(data_sync(fd->get()));
  EXPECT_EQ(file_size(path("f")).value_or(0), 200'005u);
  EXPECT_EQ(descriptor_size(fd->get()).value_or(0), 200'005u);

  struct Case {
    std::uint64_t offset;
    std::string expected;
  };
  const Case reads[] = {{0, "head:" + big}, {5, big}, {200'004, "x"}, {200'005, ""}, {999'999, ""}};
  for (const Case& c : reads) {
    SCOPED_TRACE(c.offset);
    const auto data = read_to_end(fd->get(), c.offset);
    ASSERT_TRUE(data) << data.error().message();
    EXPECT_EQ(*data, c.expected);
  }

  ASSERT_TRUE(truncate_file(fd->get(), 4));
  ASSERT_TRUE(full_sync(fd->get()));
  EXPECT_EQ(read_file(path("f")), "head");
}

TEST_F(FileIoTest, ReplaceFileLeavesOnlyThePrivateNewContent) {
  write_file(path("target"), "old");
  write_file(path("target.tmp"), "left over from a crash, readable by all");
  ASSERT_EQ(::chmod(path("target.tmp").c_str(), 0644), 0);
  auto replaced = replace_file(dir_, path("target"), path("target.tmp"), "new");
  ASSERT_TRUE(replaced) << replaced.error().message();
  EXPECT_EQ(read_file(path("target")), "new");
  EXPECT_EQ(mode_of(path("target")), 0600);
  EXPECT_FALSE(file_size(path("target.tmp")));

  auto missing = vesk::read_file(path("none"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "log I/O error: No such file or directory (os error 2)");
  auto tail = vesk::read_file(path("target"), 1);
  ASSERT_TRUE(tail);
  EXPECT_EQ(*tail, "ew");
}

TEST_F(FileIoTest, CreateDirectories) {
  const testing::ScopedUmask umask(027);
  for (const char* dir : {"a", "a/b/c", "a/b/c/", "x//y", "a/b"}) {
    SCOPED_TRACE(dir);
    ASSERT_TRUE(create_directories(path(dir)));
    EXPECT_EQ(mode_of(path(dir)), 0750);
  }
  write_file(path("plain"), "");
  struct Case {
    const char* dir;
    const char* error;
  };
  const Case failures[] = {
      {"plain", "log I/O error: File exists (os error 17)"},
      {"plain/sub", "log I/O error: Not a directory (os error 20)"},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.dir);
    const auto made = create_directories(path(c.dir));
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message(), c.error);
  }
}

TEST(ParentDirectoryTest, DirectoryPartOfAPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/b/c", "a/b"}, {"a/b/c/", "a/b"}, {"/c", "/"}, {"/", "/"}, {"c", ""}, {"", ""}, {"/d/vesk.aof", "/d"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_directory(path), parent) << path;
}

TEST_F(FileIoTest, PathOperations) {
  write_file(path("f"), "data");
  ASSERT_TRUE(set_mode(path("f"), 0640));
  EXPECT_EQ(mode_of(path("f")), 0640);
  ASSERT_TRUE(rename_file(path("f"), path("g")));
  EXPECT_EQ(read_file(path("g")), "data");
  ASSERT_TRUE(sync_directory(dir_));
  ASSERT_TRUE(remove_file(path("g")));
  EXPECT_EQ(mode_of(path("g")), -1);
}

TEST_F(FileIoTest, FailuresNameTheSystemError) {
  write_file(path("plain"), "");
  const std::string enoent = "log I/O error: No such file or directory (os error 2)";
  const std::string ebadf = "log I/O error: Bad file descriptor (os error 9)";
  const std::string enotdir = "log I/O error: Not a directory (os error 20)";
  // The message of a failed call, "succeeded" otherwise.
  const auto error_of = [](const auto& result) { return result ? "succeeded" : result.error().message(); };
  const std::pair<std::string, std::string> cases[] = {
      {error_of(open_file(path("missing"), O_RDONLY)), enoent},
      {error_of(write_all(-1, "x")), ebadf},
      {error_of(data_sync(-1)), ebadf},
      {error_of(full_sync(-1)), ebadf},
      {error_of(truncate_file(-1, 0)), ebadf},
      {error_of(descriptor_size(-1)), ebadf},
      {error_of(read_to_end(-1, 0)), ebadf},
      {error_of(file_size(path("missing"))), enoent},
      {error_of(set_mode(path("missing"), 0600)), enoent},
      {error_of(rename_file(path("missing"), path("other"))), enoent},
      {error_of(remove_file(path("missing"))), enoent},
      {error_of(sync_directory(path("missing"))), enoent},
      {error_of(sync_directory(path("plain"))), enotdir},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST_F(FileIoTest, WritingToAReadOnlyDescriptorFails) {
  write_file(path("f"), "data");
  auto fd = open_file(path("f"), O_RDONLY);
  ASSERT_TRUE(fd);
  const auto written = write_all(fd->get(), "more");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message(), "log I/O error: Bad file descriptor (os error 9)");
  EXPECT_EQ(read_file(path("f")), "data");
}

}  // namespace
}  // namespace vesk
