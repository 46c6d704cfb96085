#include "storage/aof.h"

#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vesk {
namespace {

using testing::mode_of;
using testing::read_file;
using testing::write_file;

// Stands in for the record decoder: "{...}" decodes; a line that starts like
// a record but stops short fails as the JSON reader does at the end of its
// input; anything with "BAD" in it, or not starting with "{", is garbage.
LineResult fake_decode(std::string_view line) {
  if (line.find("BAD") != std::string_view::npos || line.front() != '{') {
    return std::unexpected(json::ReadError{"expected value at line 1 column 1", false});
  }
  if (line.back() != '}') {
    return std::unexpected(
        json::ReadError{"EOF while parsing a string at line 1 column " + std::to_string(line.size()), true});
  }
  return {};
}

// What one read of the log produced.
struct ReadOutcome {
  std::vector<std::string> lines;  // handed to the visitor, in order
  Result<LogTail> tail;
  std::string warnings;            // written to stderr
};

ReadOutcome read_log(const std::string& path, std::uint64_t offset = 0) {
  std::vector<std::string> lines;
  ::testing::internal::CaptureStderr();
  auto tail = for_each_log_line(path, offset, [&](std::string_view line) {
    lines.emplace_back(line);
    return fake_decode(line);
  });
  std::string warnings = ::testing::internal::GetCapturedStderr();
  return {std::move(lines), std::move(tail), std::move(warnings)};
}

using AofReadTest = testing::TempDirTest;

TEST_F(AofReadTest, LinesTornTailsAndCorruption) {
  struct Case {
    const char* name;
    std::string content;
    std::uint64_t offset;
    std::vector<std::string> lines;
    // For a successful read:
    bool torn;
    std::uint64_t complete_end;
    bool missing_final_newline;
    std::string warning;  // "" for none; otherwise the part after "in PATH: "
    int warning_line;
    // For a failed read ("" when the read succeeds):
    std::string error;  // "corrupt log line N in PATH: " + error
    int error_line;
  };
  const Case cases[] = {
      {"empty file", "", 0, {}, false, 0, false, "", 0, "", 0},
      {"blank lines only", "\n  \n\t\r\n\xC2\xA0\xE3\x80\x80\n\n", 0, {}, false, 14, false, "", 0, "", 0},
      {"blank without final line feed", "\n   ", 0, {}, false, 4, false, "", 0, "", 0},
      {"two records", "{\"a\":1}\n{\"b\":2}\n", 0, {"{\"a\":1}", "{\"b\":2}"}, false, 16, false, "", 0, "", 0},
      {"white space trimmed, blank lines skipped", "  {a}\t\n\n\xE3\x80\x80{b}\xC2\xA0\n", 0, {"{a}", "{b}"},
       false, 17, false, "", 0, "", 0},
      {"non-ASCII text kept whole", "{\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\"}\n", 0,
       {"{\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\"}"}, false, 14, false, "", 0, "", 0},
      {"CRLF line ends", "{a}\r\n{b}\r\n", 0, {"{a}", "{b}"}, false, 10, false, "", 0, "", 0},
      {"missing final line feed", "{a}\n{b}", 0, {"{a}", "{b}"}, false, 7, true, "", 0, "", 0},
      {"missing final line feed after spaces", "{a}\n{b}  ", 0, {"{a}", "{b}"}, false, 9, true, "", 0, "", 0},
      {"torn last line", "{a}\n{b}\n{\"c", 0, {"{a}", "{b}", "{\"c"}, true, 8, false,
       "EOF while parsing a string at line 1 column 3", 3, "", 0},
      {"blank lines count", "{a}\n{b}\n\n{\"c", 0, {"{a}", "{b}", "{\"c"}, true, 9, false,
       "EOF while parsing a string at line 1 column 3", 4, "", 0},
      {"torn line followed by blank lines", "{a}\n{\"c\n\n  \n", 0, {"{a}", "{\"c"}, true, 4, false,
       "EOF while parsing a string at line 1 column 3", 2, "", 0},
      {"torn line ending in a line feed", "{a}\n{\"c\n", 0, {"{a}", "{\"c"}, true, 4, false,
       "EOF while parsing a string at line 1 column 3", 2, "", 0},
      {"torn line followed by a record", "{a}\n{\"c\n{d}\n", 0, {"{a}", "{\"c"}, false, 0, false, "", 0,
       "EOF while parsing a string at line 1 column 3", 2},
      {"garbage last line", "{a}\n{BAD}\n", 0, {"{a}", "{BAD}"}, false, 0, false, "", 0,
       "expected value at line 1 column 1", 2},
      {"garbage in the middle", "{a}\n\nBAD\n{c}\n", 0, {"{a}", "BAD"}, false, 0, false, "", 0,
       "expected value at line 1 column 1", 3},
      {"from an offset, numbered from there", "{a}\n{b}\n\n{\"c", 4, {"{b}", "{\"c"}, true, 9, false,
       "EOF while parsing a string at line 1 column 3", 3, "", 0},
      {"corrupt line numbered from the offset", "{a}\n{b}\nBAD\n", 4, {"{b}", "BAD"}, false, 0, false, "", 0,
       "expected value at line 1 column 1", 2},
      {"offset at the end", "{a}\n{b}\n", 8, {}, false, 8, false, "", 0, "", 0},
      {"offset past the end", "{a}\n{b}\n", 20, {}, false, 20, false, "", 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = path("vesk.aof");
    write_file(log, c.content);
    const ReadOutcome read = read_log(log, c.offset);
    EXPECT_EQ(read.lines, c.lines);
    if (c.error.empty()) {
      ASSERT_TRUE(read.tail) << read.tail.error().message();
      EXPECT_EQ(read.tail->torn, c.torn);
      EXPECT_EQ(read.tail->complete_end, c.complete_end);
      EXPECT_EQ(read.tail->missing_final_newline, c.missing_final_newline);
      EXPECT_EQ(read.warnings, c.warning.empty() ? ""
                                                 : "[vesk] WARNING: ignoring truncated log tail at line " +
                                                       std::to_string(c.warning_line) + " in " + log + ": " +
                                                       c.warning + "\n");
    } else {
      ASSERT_FALSE(read.tail);
      EXPECT_EQ(read.tail.error().kind(), ErrorKind::kCorruptLogLine);
      EXPECT_EQ(read.tail.error().message(),
                "corrupt log line " + std::to_string(c.error_line) + " in " + log + ": " + c.error);
      EXPECT_EQ(read.warnings, "");
    }
    // Reading never mends or otherwise changes the file.
    EXPECT_EQ(read_file(log), c.content);
  }
}

TEST_F(AofReadTest, InvalidUtf8AnywhereFailsBeforeAnyLineIsVisited) {
  const std::string padding(40, 'x');  // long enough for the multi-byte fast path
  const std::string cases[] = {
      "{a}\n{\"\xFF\"}\n",                 // never a UTF-8 byte
      "{a}\n{\"" + padding + "\x80\"}\n",  // continuation without a lead
      "{\"\xC0\xAF\"}\n",                  // overlong "/"
      "{\"\xE0\x80\xAF\"}\n",              // overlong, three bytes
      "{\"\xF0\x80\x80\xAF\"}\n",          // overlong, four bytes
      "{\"\xED\xA0\x80\"}\n",              // surrogate U+D800
      "{\"\xF4\x90\x80\x80\"}\n",          // above U+10FFFF
      "{\"\xC3(\"}\n",                     // lead followed by ASCII
      "{a}\n\n  \xFE\n{b}\n",              // in a line that would be blank
      "{a}\n{\"\xE2\x82",                  // the file cut inside a character
      "{a}\n{\"" + padding + "\xF0\x9D\x84",
  };
  for (const std::string& content : cases) {
    SCOPED_TRACE(::testing::PrintToString(content));
    write_file(path("vesk.aof"), content);
    const ReadOutcome read = read_log(path("vesk.aof"));
    EXPECT_EQ(read.lines, std::vector<std::string>{});
    ASSERT_FALSE(read.tail);
    EXPECT_EQ(read.tail.error().message(), "log I/O error: stream did not contain valid UTF-8");
    EXPECT_EQ(read.warnings, "");
  }
}

TEST_F(AofReadTest, Utf8IsCheckedAtEveryPositionOfARun) {
  // One character at each position of a long ASCII run: the fast path must
  // neither skip a bad byte nor misjudge a good one wherever it falls.
  const std::string good = "\xE2\x82\xAC";  // euro sign
  const std::string bad = "\xE2\x82(";
  for (std::size_t at = 0; at < 40; ++at) {
    SCOPED_TRACE(at);
    for (const bool valid : {true, false}) {
      const std::string record = "{" + std::string(at, 'x') + (valid ? good : bad) + std::string(40, 'y') + "}";
      write_file(path("vesk.aof"), record + "\n");
      const ReadOutcome read = read_log(path("vesk.aof"));
      EXPECT_EQ(read.tail.has_value(), valid);
      EXPECT_EQ(read.lines, valid ? std::vector<std::string>{record} : std::vector<std::string>{});
    }
  }
}

TEST_F(AofReadTest, MissingFileIsAnIoErrorAndIsNotCreated) {
  const ReadOutcome read = read_log(path("vesk.aof"));
  ASSERT_FALSE(read.tail);
  EXPECT_EQ(read.tail.error().message(), "log I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(mode_of(path("vesk.aof")), -1);
}

TEST_F(AofReadTest, LargeLogIsReadWhole) {
  // More than the reader's chunk, with lines spanning chunk boundaries.
  std::string content;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    expected.push_back("{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(i % 97, 'p') + "\"}");
    content += expected.back() + "\n";
  }
  write_file(path("vesk.aof"), content);
  const ReadOutcome read = read_log(path("vesk.aof"));
  ASSERT_TRUE(read.tail);
  EXPECT_EQ(read.tail->complete_end, content.size());
  EXPECT_EQ(read.lines, expected);
}

using AofWriterTest = testing::TempDirTest;

TEST_F(AofWriterTest, OpenCreatesParentsAndAPrivateEmptyFile) {
  const testing::ScopedUmask umask(022);
  const std::string log = path("data/nested/vesk.aof");
  const auto writer = AofWriter::open(log);
  ASSERT_TRUE(writer) << writer.error().message();
  EXPECT_EQ(writer->path(), log);
  EXPECT_EQ(mode_of(path("data")), 0755);
  EXPECT_EQ(mode_of(path("data/nested")), 0755);
  EXPECT_EQ(mode_of(log), 0600);
  EXPECT_EQ(read_file(log), "");
}

TEST_F(AofWriterTest, OpenKeepsAnExistingFileAsItIs) {
  const std::string log = path("vesk.aof");
  write_file(log, "{a}\n{\"torn");
  ASSERT_EQ(::chmod(log.c_str(), 0640), 0);
  auto writer = AofWriter::open(log);
  ASSERT_TRUE(writer) << writer.error().message();
  EXPECT_EQ(mode_of(log), 0640);
  EXPECT_EQ(read_file(log), "{a}\n{\"torn");
}

TEST_F(AofWriterTest, OpenFailsWhereADirectoryCannotBe) {
  write_file(path("plain"), "");
  const std::pair<std::string, const char*> cases[] = {
      {path("plain/vesk.aof"), "log I/O error: File exists (os error 17)"},
      {path("plain/sub/vesk.aof"), "log I/O error: Not a directory (os error 20)"},
  };
  for (const auto& [log, error] : cases) {
    const auto writer = AofWriter::open(log);
    ASSERT_FALSE(writer) << log;
    EXPECT_EQ(writer.error().message(), error);
  }
}

TEST_F(AofWriterTest, AppendedLinesReadBack) {
  const std::string log = path("vesk.aof");
  auto writer = AofWriter::open(log);
  ASSERT_TRUE(writer) << writer.error().message();
  const std::vector<std::string> records = {"{\"a\":1}", "{\"b\":\"" + std::string(200, 'b') + "\"}", "{}"};
  std::uint64_t expected_size = 0;
  for (const std::string& record : records) {
    ASSERT_TRUE(writer->append_line(record));
    expected_size += record.size() + 1;
    EXPECT_EQ(read_file(log).size(), expected_size);
  }
  EXPECT_EQ(read_file(log).back(), '\n');
  const ReadOutcome read = read_log(log);
  ASSERT_TRUE(read.tail);
  EXPECT_EQ(read.lines, records);
  EXPECT_FALSE(read.tail->torn);
  EXPECT_FALSE(read.tail->missing_final_newline);
}

TEST_F(AofWriterTest, RecordWithALineFeedIsRefused) {
  const std::string log = path("vesk.aof");
  auto writer = AofWriter::open(log);
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->append_line("{a}"));
  const auto appended = writer->append_line("{\"a\":\n1}");
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error().kind(), ErrorKind::kSerialization);
  EXPECT_EQ(read_file(log), "{a}\n");
}

// Limits the size of files the process may write, for the scope. Writing
// past the limit then fails with EFBIG instead of killing the process.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = previous_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    ::signal(SIGXFSZ, previous_handler_);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  sighandler_t previous_handler_;
};

TEST_F(AofWriterTest, FailedAppendLeavesNoPartialLine) {
  const std::string log = path("vesk.aof");
  auto writer = AofWriter::open(log);
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->append_line("{a}"));
  {
    // Room for part of the line only: the first write is short, the next
    // one fails.
    const ScopedFileSizeLimit limit(50);
    const auto appended = writer->append_line("{\"b\":\"" + std::string(200, 'b') + "\"}");
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().message(), "log I/O error: File too large (os error 27)");
  }
  EXPECT_EQ(read_file(log), "{a}\n");
  // The log goes on as if the failed append had never been tried.
  ASSERT_TRUE(writer->append_line("{c}"));
  const ReadOutcome read = read_log(log);
  ASSERT_TRUE(read.tail);
  EXPECT_EQ(read.lines, (std::vector<std::string>{"{a}", "{c}"}));
}

TEST_F(AofWriterTest, MovedWriterKeepsAppending) {
  const std::string log = path("vesk.aof");
  auto opened = AofWriter::open(log);
  ASSERT_TRUE(opened);
  AofWriter writer = std::move(*opened);
  ASSERT_TRUE(writer.append_line("{a}"));
  AofWriter other = std::move(writer);
  ASSERT_TRUE(other.append_line("{b}"));
  EXPECT_EQ(read_file(log), "{a}\n{b}\n");
}

using RepairLogTailTest = testing::TempDirTest;

TEST_F(RepairLogTailTest, MendedLogTakesFurtherAppends) {
  struct Case {
    const char* name;
    std::string content;
    std::string repaired;
  };
  const Case cases[] = {
      {"torn line cut away", "{a}\n{b}\n{\"c", "{a}\n{b}\n"},
      {"torn line and the blank lines after it", "{a}\n{\"c\n \n\n", "{a}\n"},
      {"torn line as the only line", "{\"c", ""},
      {"line feed added", "{a}\n{b}", "{a}\n{b}\n"},
      {"line feed added after CR", "{a}\n{b}\r", "{a}\n{b}\r\n"},
      {"nothing to mend", "{a}\n{b}\n", "{a}\n{b}\n"},
      {"nothing to mend in blank lines", "\n  ", "\n  "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = path("vesk.aof");
    write_file(log, c.content);
    const ReadOutcome before = read_log(log);
    ASSERT_TRUE(before.tail);
    ASSERT_TRUE(repair_log_tail(log, *before.tail));
    EXPECT_EQ(read_file(log), c.repaired);

    auto writer = AofWriter::open(log);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->append_line("{z}"));
    const ReadOutcome after = read_log(log);
    ASSERT_TRUE(after.tail) << after.tail.error().message();
    EXPECT_EQ(after.warnings, "");
    EXPECT_FALSE(after.tail->torn);
    EXPECT_FALSE(after.tail->missing_final_newline);
    ASSERT_FALSE(after.lines.empty());
    EXPECT_EQ(after.lines.back(), "{z}");
  }
}

TEST_F(RepairLogTailTest, MissingFileIsAnIoError) {
  const auto repaired = repair_log_tail(path("vesk.aof"), LogTail{.torn = true, .complete_end = 0});
  ASSERT_FALSE(repaired);
  EXPECT_EQ(repaired.error().message(), "log I/O error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace vesk
