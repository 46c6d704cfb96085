// A fresh directory per test, for the storage tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vesk::testing {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vesk-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // `name` inside the test's directory.
  std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }

  std::string dir_;
};

inline void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The permission bits of `path`, or -1 when it cannot be examined.
inline int mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 0777);
}

// Sets the umask for the scope, so that created modes are predictable.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

}  // namespace vesk::testing
