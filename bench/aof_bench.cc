// Figures of the event log file, printed as plain lines:
//   append: AofWriter::append_line of a 200-byte record against a bare
//           write() + fdatasync() of the same bytes, interleaved, in one
//           directory, median per operation and their ratio;
//   read:   for_each_log_line over 1,000,000 lines of about 250 bytes with a
//           trivial visitor: lines/s, MB/s and peak memory against the file
//           size.
//
//   build/aof/bench/aof_bench [directory on the disk to measure] [appends]
//
// The directory defaults to the working directory; it must be on a real
// disk (not tmpfs) for the sync figures to mean anything.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "storage/aof.h"
#include "storage/file_io.h"

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// VmHWM of /proc/self/status in KiB: the peak resident set so far.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void fail(const char* what, const EngineError& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.message().c_str());
  std::exit(1);
}

std::string record(std::size_t size, long n) {
  std::string line = "{\"v\":1,\"at\":\"2026-05-01T12:00:00Z\",\"event\":\"fired\",\"n\":" + std::to_string(n) +
                     ",\"pad\":\"";
  line.append(size - line.size() - 2, 'x');
  line += "\"}";
  return line;
}

void bench_append(const std::string& dir, int iterations) {
  const std::string log_path = dir + "/vesk.aof";
  const std::string raw_path = dir + "/raw.aof";
  auto writer = AofWriter::open(log_path);
  if (!writer) fail("open log", writer.error());
  auto raw = open_file(raw_path, O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (!raw) fail("open raw", raw.error());

  const std::string line = record(200, 0);
  const std::string raw_bytes = line + "\n";
  std::vector<double> append_us;
  std::vector<double> raw_us;
  const int warmup = 20;
  for (int i = 0; i < warmup + iterations; ++i) {
    // Alternate which of the two goes first, so neither always follows the
    // other's sync.
    for (int turn = 0; turn < 2; ++turn) {
      const bool append_now = (turn == 0) == (i % 2 == 0);
      const auto start = Clock::now();
      if (append_now) {
        if (auto done = writer->append_line(line); !done) fail("append", done.error());
      } else {
        if (::write(raw->get(), raw_bytes.data(), raw_bytes.size()) != static_cast<ssize_t>(raw_bytes.size())) {
          std::perror("write");
          std::exit(1);
        }
        if (::fdatasync(raw->get()) != 0) {
          std::perror("fdatasync");
          std::exit(1);
        }
      }
      const double elapsed = micros(Clock::now() - start);
      if (i >= warmup) (append_now ? append_us : raw_us).push_back(elapsed);
    }
  }
  const double append_median = percentile(append_us, 0.5);
  const double raw_median = percentile(raw_us, 0.5);
  std::printf("append 200 B + sync:  median %8.1f us  p90 %8.1f us  (%d ops)\n", append_median,
              percentile(append_us, 0.9), iterations);
  std::printf("raw write + fdatasync: median %8.1f us  p90 %8.1f us  (%d ops)\n", raw_median,
              percentile(raw_us, 0.9), iterations);
  std::printf("append / raw:          %.3fx (target <= 1.1x)\n", append_median / raw_median);
  std::filesystem::remove(log_path);
  std::filesystem::remove(raw_path);
}

void bench_read(const std::string& dir) {
  constexpr long kLines = 1'000'000;
  const std::string log_path = dir + "/read.aof";
  std::uint64_t file_bytes = 0;
  {
    auto out = open_file(log_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!out) fail("create", out.error());
    std::string chunk;
    for (long n = 0; n < kLines; ++n) {
      chunk += record(240 + static_cast<std::size_t>(n % 21), n);
      chunk += '\n';
      if (chunk.size() >= (1u << 20) || n + 1 == kLines) {
        if (auto done = write_all(out->get(), chunk); !done) fail("write", done.error());
        file_bytes += chunk.size();
        chunk.clear();
      }
    }
    if (auto done = data_sync(out->get()); !done) fail("sync", done.error());
  }

  long lines = 0;
  std::uint64_t line_bytes = 0;
  const auto visitor = [&](std::string_view line) -> LineResult {
    ++lines;
    line_bytes += line.size();
    return {};
  };

  const long peak_before = peak_rss_kib();
  std::vector<double> seconds;
  for (int run = 0; run < 5; ++run) {
    lines = 0;
    const auto start = Clock::now();
    const auto tail = for_each_log_line(log_path, 0, visitor);
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (!tail) fail("read", tail.error());
    if (lines != kLines) {
      std::fprintf(stderr, "read %ld lines, expected %ld\n", lines, kLines);
      std::exit(1);
    }
  }
  const long peak_after = peak_rss_kib();

  // The visitor's own share, measured apart on the same lines and taken off.
  double visitor_seconds = 0;
  {
    auto in = open_file(log_path, O_RDONLY);
    if (!in) fail("open", in.error());
    auto data = read_to_end(in->get(), 0);
    if (!data) fail("read", data.error());
    std::vector<std::string_view> split;
    split.reserve(kLines);
    for (std::size_t start = 0; start < data->size();) {
      const std::size_t end = data->find('\n', start);
      split.emplace_back(data->data() + start, end - start);
      start = end + 1;
    }
    const LineVisitor visit = visitor;
    const auto start = Clock::now();
    for (const std::string_view line : split) (void)visit(line);
    visitor_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }

  const double median = percentile(seconds, 0.5) - visitor_seconds;
  const double mb = static_cast<double>(file_bytes) / 1e6;
  std::printf("read %ld lines, %.1f MB (page cache warm): median %.1f ms (visitor %.1f ms taken off)\n", kLines, mb,
              median * 1e3, visitor_seconds * 1e3);
  std::printf("read throughput:       %.2f M lines/s, %.0f MB/s\n", static_cast<double>(kLines) / median / 1e6,
              mb / median);
  std::printf("peak RSS:              %.1f MiB before, %.1f MiB after: +%.2fx the file size (%.2fx in all)\n",
              static_cast<double>(peak_before) / 1024, static_cast<double>(peak_after) / 1024,
              static_cast<double>(peak_after - peak_before) * 1024 / static_cast<double>(file_bytes),
              static_cast<double>(peak_after) * 1024 / static_cast<double>(file_bytes));
  std::filesystem::remove(log_path);
}

}  // namespace
}  // namespace vesk

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : ".";
  const int appends = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string dir = base + "/aof_bench." + std::to_string(::getpid());
  if (auto made = vesk::create_directories(dir); !made) vesk::fail("mkdir", made.error());
  vesk::bench_append(dir, appends);
  vesk::bench_read(dir);
  std::filesystem::remove_all(dir);
  return 0;
}
