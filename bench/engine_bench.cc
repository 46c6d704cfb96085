// Figures of the running engine, printed as plain lines:
//   lateness N SECONDS: N timers every second with a function that returns at
//           once, on the system clock; how late each call starts after its
//           scheduled instant (from the log's RUN_DUE events), against the
//           floor set by the syncs of the runs queued ahead of it;
//   memory N: resident memory per timer of an engine holding N cron timers
//           rebuilt from a log, the time of list() and of status(id);
//   idle SECONDS: process CPU time of a started engine with 1000 timers far
//           from due, and of one without timers.
//
//   build/.../bench/engine_bench [lateness|memory|idle|all] [data root] [args]
//     engine_bench lateness build/bench-data 100 30
//     engine_bench memory build/bench-data 100000
//     engine_bench idle build/bench-data 10
//   With no arguments: lateness 100 30, lateness 1000 30, memory 100000,
//   idle 10, under build/bench-data, each in a process of its own.
//
// The root must be on a real disk (not tmpfs) for the sync figures to mean
// anything. Every scenario works in a fresh subdirectory of it and removes
// that subdirectory at the end.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/clock.h"
#include "engine/engine.h"
#include "engine/timer_handler.h"
#include "storage/aof.h"
#include "storage/data_dir.h"
#include "storage/event_log.h"
#include "storage/records.h"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what, const std::string& message) {
  std::fprintf(stderr, "engine_bench: %s: %s\n", what.c_str(), message.c_str());
  std::fflush(stdout);
  std::exit(1);
}

double ms_since(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// Milliseconds from `from` to `to` (negative when `to` is earlier).
double ms_between(Instant from, Instant to) {
  return static_cast<double>(to.seconds - from.seconds) * 1e3 +
         (static_cast<double>(to.nanos) - static_cast<double>(from.nanos)) / 1e6;
}

// Nearest-rank on a sorted copy: the value at index p * (n - 1).
double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// A field of /proc/self/status ("VmRSS:", "VmHWM:", "Threads:"), as its number.
long proc_status(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == field) {
      long value = 0;
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void print_machine(const std::string& root) {
  std::string model = "unknown";
  {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
      if (line.rfind("model name", 0) == 0) {
        model = line.substr(line.find(':') + 2);
        break;
      }
    }
  }
  utsname name{};
  uname(&name);
  struct statfs fs {};
  const bool statted = statfs(root.c_str(), &fs) == 0;
  const bool tmpfs = statted && fs.f_type == 0x01021994;  // TMPFS_MAGIC
  std::printf("machine: %s, %ld cpus, %s %s; data root %s (filesystem type 0x%lx%s)\n", model.c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), name.sysname, name.release,
              std::filesystem::absolute(root).c_str(), statted ? static_cast<unsigned long>(fs.f_type) : 0UL,
              tmpfs ? ", TMPFS: sync figures are meaningless" : "");
}

// A fresh directory for one scenario, removed when the scenario ends.
class ScratchDir {
 public:
  ScratchDir(const std::string& root, const std::string& name)
      : path_(root + "/engine_bench." + std::to_string(::getpid()) + "." + name) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Aborts the process when a scenario outlives its time: a hung engine shows
// as this message rather than as a benchmark that never ends.
class Watchdog {
 public:
  Watchdog(std::string scenario, std::chrono::seconds limit) : scenario_(std::move(scenario)) {
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, limit, [&] { return done_; })) {
        std::fprintf(stderr, "engine_bench: %s still running after %lld s, aborting (engine hang?)\n",
                     scenario_.c_str(), static_cast<long long>(limit.count()));
        std::fflush(stdout);
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::string scenario_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// "<prefix><n>", built by appending: GCC 12 at -O3 reports a false overlap
// in `const char* + std::string&&`.
std::string numbered(std::string prefix, long n) { return prefix.append(std::to_string(n)); }

std::shared_ptr<Engine> open_fresh_engine(const std::string& dir) {
  auto storage = open_engine(dir);
  if (!storage) fail("open_engine " + dir, storage.error().message());
  return Engine::create(std::move(*storage), Engine::Options{std::make_shared<SystemClock>(), 10s});
}

void shut_down(Engine& engine) {
  if (auto done = engine.shutdown(30s); !done) fail("shutdown", done.error().message());
}

// ---- lateness

// Returns success at once; records the run id and the instant each call
// started.
class RecordingHandler final : public TimerHandler {
 public:
  explicit RecordingHandler(std::size_t expected) { calls_.reserve(expected); }
  std::string name() const override { return "bench.record"; }
  std::expected<void, std::string> call(const std::string&, const std::string& run_id) override {
    const Instant started = Instant::now();
    std::lock_guard lock(mutex_);
    calls_.emplace_back(run_id, started);
    return {};
  }
  std::vector<std::pair<std::string, Instant>> take() {
    std::lock_guard lock(mutex_);
    return std::move(calls_);
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, Instant>> calls_;
};

// One AofWriter::append_line of a line of about 180 bytes, sync included,
// in microseconds: `samples` values after a warm-up.
std::vector<double> measure_sync(const std::string& dir, int samples) {
  auto writer = AofWriter::open(dir + "/floor.aof");
  if (!writer) fail("open floor log", writer.error().message());
  std::string line =
      "{\"v\":1,\"ts\":\"2026-05-01T12:00:00.123456789Z\",\"event\":\"RUN_STARTED\",\"timer_id\":\"t999\","
      "\"run_id\":\"run_01HZY3K1M8V2Q5T7W9X0B4C6D8\",\"attempt\":1,\"pad\":\"";
  line.append(180 - line.size() - 2, 'x');
  line += "\"}";
  std::vector<double> micros;
  for (int i = 0; i < 20 + samples; ++i) {
    const auto start = Steady::now();
    if (auto done = writer->append_line(line); !done) fail("floor append", done.error().message());
    const double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
    if (i >= 20) micros.push_back(us);
  }
  std::filesystem::remove(dir + "/floor.aof");
  return micros;
}

struct Window {
  std::size_t runs = 0;
  double p50 = 0, p99 = 0;
};

Window window_of(const std::vector<std::pair<double, double>>& offset_lateness, double from_s, double to_s) {
  std::vector<double> late;
  for (const auto& [offset, lateness] : offset_lateness) {
    if (offset >= from_s && offset < to_s) late.push_back(lateness);
  }
  return Window{late.size(), percentile(late, 0.5), percentile(late, 0.99)};
}

void bench_lateness(const std::string& root, int n, int seconds) {
  std::printf("\n== lateness: %d timers every 1 s, function returns at once, %d s, system clock\n", n, seconds);
  Watchdog watchdog(numbered("lateness ", n), std::chrono::seconds(seconds + 300));
  ScratchDir scratch(root, numbered("lateness", n));

  // The floor, on the same disk and in the same run.
  const std::vector<double> sync_us = measure_sync(scratch.path(), 200);
  const double sync_median_ms = percentile(sync_us, 0.5) / 1e3;
  const double sync_p99_ms = percentile(sync_us, 0.99) / 1e3;
  std::printf("sync floor: append_line of 180 B + sync: median %.3f ms, p90 %.3f ms, p99 %.3f ms, "
              "min %.3f ms, max %.3f ms (200 samples)\n",
              sync_median_ms, percentile(sync_us, 0.9) / 1e3, sync_p99_ms, percentile(sync_us, 0) / 1e3,
              percentile(sync_us, 1) / 1e3);

  const std::string dir = scratch.path() + "/data";
  auto engine = open_fresh_engine(dir);
  auto handler = std::make_shared<RecordingHandler>(static_cast<std::size_t>(n) * (seconds + 3));

  const auto register_start = Steady::now();
  for (int i = 0; i < n; ++i) {
    auto done = engine->register_timer(numbered("t", i), EverySchedule{1}, std::nullopt, std::nullopt, handler);
    if (!done) fail("register", done.error().message());
  }
  std::printf("register %d timers: %.1f ms (%.3f ms each, one synced TIMER_CREATED each)\n", n,
              ms_since(register_start), ms_since(register_start) / n);

  // Peak thread count while the engine runs.
  std::atomic<bool> sampling{true};
  std::atomic<long> peak_threads{proc_status("Threads:")};
  std::thread sampler([&] {
    while (sampling.load()) {
      const long threads = proc_status("Threads:");
      if (threads > peak_threads.load()) peak_threads.store(threads);
      std::this_thread::sleep_for(100ms);
    }
  });

  const Instant started_at = Instant::now();
  const double cpu_before = cpu_seconds();
  const auto wall_start = Steady::now();
  if (auto done = engine->start_scheduler(); !done) fail("start_scheduler", done.error().message());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto shutdown_start = Steady::now();
  shut_down(*engine);
  const double shutdown_ms = ms_since(shutdown_start);
  const double cpu_used = cpu_seconds() - cpu_before;
  const double wall_s = ms_since(wall_start) / 1e3;
  sampling.store(false);
  sampler.join();
  engine.reset();

  const auto calls = handler->take();
  auto entries = read_aof(dir + "/vesk.aof");
  if (!entries) fail("read_aof", entries.error().message());
  std::unordered_map<std::string, Instant> scheduled;
  std::unordered_map<std::string, std::string> timer_of;
  std::size_t created = 0, due = 0, started = 0, succeeded = 0, other = 0;
  for (const LogEntry& entry : *entries) {
    if (std::holds_alternative<TimerCreated>(entry.event)) {
      ++created;
    } else if (const auto* run = std::get_if<RunDue>(&entry.event)) {
      ++due;
      if (!scheduled.emplace(run->run_id, run->scheduled_at).second) fail("log", "RUN_DUE twice for " + run->run_id);
      timer_of.emplace(run->run_id, run->timer_id);
    } else if (std::holds_alternative<RunStarted>(entry.event)) {
      ++started;
    } else if (std::holds_alternative<RunSucceeded>(entry.event)) {
      ++succeeded;
    } else {
      ++other;
    }
  }
  const auto log_bytes = std::filesystem::file_size(dir + "/vesk.aof");
  std::printf("log: %zu lines, %.1f B per line; TIMER_CREATED %zu, RUN_DUE %zu, RUN_STARTED %zu, "
              "RUN_SUCCEEDED %zu, other %zu; function calls %zu\n",
              entries->size(), static_cast<double>(log_bytes) / static_cast<double>(entries->size()), created, due,
              started, succeeded, other, calls.size());
  if (created != static_cast<std::size_t>(n) || due != started || started != succeeded || succeeded != calls.size() ||
      other != 0) {
    std::printf("FAULT: the counts above disagree (expected %d TIMER_CREATED and equal run counts)\n", n);
  }

  // (seconds after the scheduler started, lateness in ms) per call.
  std::vector<std::pair<double, double>> runs;
  runs.reserve(calls.size());
  std::vector<double> lateness;
  lateness.reserve(calls.size());
  std::vector<double> burst;  // the first run of every timer
  // The same measured from the scheduler's start when a run was due before
  // it: registering N timers takes N syncs, and whatever part of it exceeds
  // the one-second period is waiting that no scheduler could avoid.
  std::vector<double> lateness_from_start;
  std::vector<double> burst_from_start;
  std::size_t due_before_start = 0;
  std::unordered_map<std::string, bool> seen_timer;
  std::size_t unmatched = 0;
  for (const auto& [run_id, call_start] : calls) {
    const auto it = scheduled.find(run_id);
    if (it == scheduled.end()) {
      ++unmatched;
      continue;
    }
    const double late = ms_between(it->second, call_start);
    const double late_from_start = ms_between(std::max(it->second, started_at), call_start);
    if (it->second < started_at) ++due_before_start;
    lateness.push_back(late);
    lateness_from_start.push_back(late_from_start);
    runs.emplace_back(ms_between(started_at, call_start) / 1e3, late);
    if (seen_timer.emplace(timer_of[run_id], true).second) {
      burst.push_back(late);
      burst_from_start.push_back(late_from_start);
    }
  }
  if (unmatched != 0) std::printf("FAULT: %zu calls have no RUN_DUE with their run id\n", unmatched);

  std::printf("runs: %zu in %.1f s = %.1f runs/s (at most ~%d/s: every timer once a second plus its run time); "
              "process CPU %.1f%% of one core; peak threads %ld; shutdown %.1f ms\n",
              lateness.size(), wall_s, static_cast<double>(lateness.size()) / wall_s, n,
              cpu_used / wall_s * 100, peak_threads.load(), shutdown_ms);
  std::printf("lateness (call start - scheduled_at), all runs: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms, "
              "min %.2f ms\n",
              percentile(lateness, 0.5), percentile(lateness, 0.9), percentile(lateness, 0.99),
              percentile(lateness, 1), percentile(lateness, 0));
  std::printf("lateness, first run of each timer (%zu runs): p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", burst.size(),
              percentile(burst, 0.5), percentile(burst, 0.99), percentile(burst, 1));
  std::printf("runs due before the scheduler started: %zu; lateness from max(scheduled_at, scheduler start): "
              "all runs p50 %.2f ms, p99 %.2f ms, max %.2f ms; first runs p50 %.2f ms, p99 %.2f ms\n",
              due_before_start, percentile(lateness_from_start, 0.5), percentile(lateness_from_start, 0.99),
              percentile(lateness_from_start, 1), percentile(burst_from_start, 0.5),
              percentile(burst_from_start, 0.99));

  const Window first = window_of(runs, 0, 5);
  const Window last = window_of(runs, seconds - 5, seconds);
  std::printf("first 5 s: %zu runs, lateness p50 %.2f ms, p99 %.2f ms; last 5 s: %zu runs, lateness p50 %.2f ms, "
              "p99 %.2f ms\n",
              first.runs, first.p50, first.p99, last.runs, last.p50, last.p99);
  std::string counts = "runs per second:";
  std::string medians = "lateness p50 per second (ms):";
  for (int s = 0; s < seconds; ++s) {
    const Window w = window_of(runs, s, s + 1);
    counts += ' ';
    counts += std::to_string(w.runs);
    char text[32];
    std::snprintf(text, sizeof text, " %.1f", w.p50);
    medians += text;
  }
  std::printf("%s\n%s\n", counts.c_str(), medians.c_str());
  const bool rate_held = static_cast<double>(last.runs) >= 0.9 * static_cast<double>(first.runs);
  const bool lateness_held = last.p50 <= std::max(first.p50 * 1.5, first.p50 + 2.0);
  std::printf("kept up: %s (last 5 s runs %s 90%% of the first 5 s; last 5 s lateness p50 %s first 5 s p50)\n",
              rate_held && lateness_held ? "yes" : "NO", rate_held ? ">=" : "<",
              lateness_held ? "not above" : "RISING above");

  // The k-th of k runs due together waits for the RUN_DUE and RUN_STARTED
  // syncs of every run ahead of it and its own: 2k syncs.
  const double floor_p50 = 2 * 0.5 * n * sync_median_ms;
  const double floor_p99 = 2 * 0.99 * n * sync_median_ms;
  const double goal = 1.2 * floor_p99 + 2;
  const double measured_p99 = percentile(lateness, 0.99);
  std::printf("floor for a burst of %d: p50 %.2f ms, p99 %.2f ms (2 x 0.5N and 2 x 0.99N syncs of %.3f ms); "
              "goal p99 <= 1.2 x floor_p99 + 2 ms = %.2f ms\n",
              n, floor_p50, floor_p99, sync_median_ms, goal);
  const auto verdict = [&](double p99) { return p99 <= goal ? "meets" : "MISSES"; };
  const double burst_p99 = percentile(burst, 0.99);
  const double start_p99 = percentile(burst_from_start, 0.99);
  std::printf("measured p99 / floor p99: all runs %.3f (p99 %.2f ms: %s goal); first runs %.3f (p99 %.2f ms: %s "
              "goal); first runs from scheduler start %.3f (p99 %.2f ms: %s goal)\n",
              measured_p99 / floor_p99, measured_p99, verdict(measured_p99), burst_p99 / floor_p99, burst_p99,
              verdict(burst_p99), start_p99 / floor_p99, start_p99, verdict(start_p99));
}

// ---- memory

class NoopHandler final : public TimerHandler {
 public:
  std::string name() const override { return "bench.noop"; }
  std::expected<void, std::string> call(const std::string&, const std::string&) override { return {}; }
};

TimerSpec memory_spec(int i) {
  char id[32];
  std::snprintf(id, sizeof id, "timer-%06d", i);
  return TimerSpec{id, CronSchedule{"*/15 * * * *"}, RetryPolicy{}, "Europe/Paris",
                   Instant{1'780'000'000 + i, 123'456'789}};
}

void bench_memory(const std::string& root, int n) {
  std::printf("\n== memory: %d cron timers rebuilt from the log, then registered again unchanged\n", n);
  Watchdog watchdog("memory", 900s);
  ScratchDir scratch(root, "memory");
  const std::string dir = scratch.path() + "/data";
  std::filesystem::create_directories(dir);
  const auto write_start = Steady::now();
  {
    std::ofstream out(dir + "/vesk.aof", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < n; ++i) {
      const TimerSpec spec = memory_spec(i);
      out << encode_log_entry(LogEntry{1, spec.created_at, TimerCreated{spec}}) << '\n';
    }
    if (!out) fail("write log", "ofstream failed");
  }
  const auto log_bytes = std::filesystem::file_size(dir + "/vesk.aof");
  std::printf("log written (no syncs): %.1f MB, %.0f B per line, %.0f ms\n", static_cast<double>(log_bytes) / 1e6,
              static_cast<double>(log_bytes) / n, ms_since(write_start));

  const long rss_before = proc_status("VmRSS:");
  const auto open_start = Steady::now();
  auto engine = open_fresh_engine(dir);
  const double open_ms = ms_since(open_start);
  const long rss_opened = proc_status("VmRSS:");

  auto handler = std::make_shared<NoopHandler>();
  const auto register_start = Steady::now();
  for (int i = 0; i < n; ++i) {
    TimerSpec spec = memory_spec(i);
    auto done = engine->register_timer(spec.id, std::move(spec.schedule), RetryPolicy{}, std::string("Europe/Paris"),
                                       handler);
    if (!done) fail("register", done.error().message());
  }
  const double register_ms = ms_since(register_start);
  const long rss_registered = proc_status("VmRSS:");
  const auto log_after = std::filesystem::file_size(dir + "/vesk.aof");
  std::printf("open_engine + Engine::create: %.0f ms; register all %d: %.0f ms (%.2f us each); log grew by %lld B\n",
              open_ms, n, register_ms, register_ms * 1e3 / n,
              static_cast<long long>(log_after) - static_cast<long long>(log_bytes));
  if (log_after != log_bytes) std::printf("FAULT: registering unchanged timers appended to the log\n");

  const double per_timer = static_cast<double>(rss_registered - rss_before) * 1024.0 / n;
  std::printf("VmRSS: %.1f MiB before open, %.1f MiB after create (+%.0f B/timer), %.1f MiB after register "
              "(+%.0f B/timer); VmHWM %.1f MiB\n",
              rss_before / 1024.0, rss_opened / 1024.0, static_cast<double>(rss_opened - rss_before) * 1024.0 / n,
              rss_registered / 1024.0, static_cast<double>(rss_registered - rss_opened) * 1024.0 / n,
              proc_status("VmHWM:") / 1024.0);
  malloc_trim(0);
  const long rss_trimmed = proc_status("VmRSS:");
  std::printf("bytes per timer: %.0f B (goal <= 1024 B: %s); after malloc_trim(0): %.0f B\n", per_timer,
              per_timer <= 1024 ? "meets" : "MISSES",
              static_cast<double>(rss_trimmed - rss_before) * 1024.0 / n);

  std::vector<double> list_ms;
  for (int round = 0; round < 10; ++round) {
    const auto start = Steady::now();
    const auto all = engine->list();
    list_ms.push_back(ms_since(start));
    if (all.size() != static_cast<std::size_t>(n)) {
      std::printf("FAULT: list() returned %zu timers, expected %d\n", all.size(), n);
    }
  }
  std::printf("list() of %d: median %.2f ms, min %.2f ms, max %.2f ms (10 calls; goal <= 50 ms: %s)\n", n,
              percentile(list_ms, 0.5), percentile(list_ms, 0), percentile(list_ms, 1),
              percentile(list_ms, 0.5) <= 50 ? "meets" : "MISSES");

  std::vector<std::string> ids;
  ids.reserve(n);
  for (int i = 0; i < n; ++i) ids.push_back(memory_spec(i).id);
  constexpr int kCalls = 1'000'000;
  constexpr int kBatch = 10'000;
  std::mt19937 random(20260501);
  std::uniform_int_distribution<int> pick(0, n - 1);
  std::vector<int> picks(kCalls);
  for (int& p : picks) p = pick(random);
  std::vector<double> batch_ns;
  std::size_t found = 0;
  for (int b = 0; b < kCalls / kBatch; ++b) {
    const auto start = Steady::now();
    for (int i = b * kBatch; i < (b + 1) * kBatch; ++i) {
      if (engine->status(ids[static_cast<std::size_t>(picks[static_cast<std::size_t>(i)])])) ++found;
    }
    batch_ns.push_back(std::chrono::duration<double, std::nano>(Steady::now() - start).count() / kBatch);
  }
  if (found != static_cast<std::size_t>(kCalls)) std::printf("FAULT: status() found %zu of %d ids\n", found, kCalls);
  std::printf("status(id) random ids: median %.0f ns per call, p10 %.0f, p90 %.0f, min %.0f, max %.0f "
              "(%d batches of %d; goal <= 2000 ns: %s)\n",
              percentile(batch_ns, 0.5), percentile(batch_ns, 0.1), percentile(batch_ns, 0.9),
              percentile(batch_ns, 0), percentile(batch_ns, 1), kCalls / kBatch, kBatch,
              percentile(batch_ns, 0.5) <= 2000 ? "meets" : "MISSES");
  shut_down(*engine);
}

// ---- idle

void measure_idle(const std::string& label, Engine& engine, int seconds) {
  if (auto done = engine.start_scheduler(); !done) fail("start_scheduler", done.error().message());
  std::this_thread::sleep_for(1s);  // let start-up settle
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const double wall = ms_since(start) / 1e3;
  const auto seconds_of = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const double user = seconds_of(after.ru_utime) - seconds_of(before.ru_utime);
  const double sys = seconds_of(after.ru_stime) - seconds_of(before.ru_stime);
  const double percent = (user + sys) / wall * 100;
  std::printf("%s: CPU %.4f%% of one core over %.1f s (user %.2f ms, sys %.2f ms; %.1f voluntary context switches/s)"
              " (goal < 0.1%%: %s)\n",
              label.c_str(), percent, wall, user * 1e3, sys * 1e3,
              static_cast<double>(after.ru_nvcsw - before.ru_nvcsw) / wall, percent < 0.1 ? "meets" : "MISSES");
  shut_down(engine);
}

void bench_idle(const std::string& root, int seconds) {
  std::printf("\n== idle: started engines with nothing due, %d s each\n", seconds);
  Watchdog watchdog("idle", std::chrono::seconds(2 * seconds + 300));
  {
    ScratchDir scratch(root, "idle1000");
    auto engine = open_fresh_engine(scratch.path() + "/data");
    auto handler = std::make_shared<NoopHandler>();
    for (int i = 0; i < 1000; ++i) {
      auto done =
          engine->register_timer(numbered("t", i), EverySchedule{86400}, std::nullopt, std::nullopt, handler);
      if (!done) fail("register", done.error().message());
    }
    measure_idle("1000 timers due in a day", *engine, seconds);
  }
  {
    ScratchDir scratch(root, "idle0");
    auto engine = open_fresh_engine(scratch.path() + "/data");
    measure_idle("no timers (loop polls every 100 ms)", *engine, seconds);
  }
}

// Runs one scenario in a child process, so that memory, threads and heap
// left behind by one scenario do not show in the next one's figures.
void run_apart(const std::function<void()>& scenario) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) fail("fork", std::strerror(errno));
  if (child == 0) {
    scenario();
    std::fflush(stdout);
    std::_Exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) fail("waitpid", std::strerror(errno));
  if (WIFSIGNALED(status)) {
    std::printf("FAULT: scenario ended by signal %d\n", WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    std::printf("FAULT: scenario exited with status %d\n", WEXITSTATUS(status));
  }
}

int arg_or(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::atoi(argv[index]) : fallback;
}

}  // namespace
}  // namespace vesk

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "all";
  if (command != "lateness" && command != "memory" && command != "idle" && command != "all") {
    std::fprintf(stderr, "usage: engine_bench [lateness|memory|idle|all] [data root] [N] [SECONDS]\n");
    return 2;
  }
  const std::string root = argc > 2 ? argv[2] : "build/bench-data";
  std::filesystem::create_directories(root);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  vesk::print_machine(root);
  if (command == "lateness") {
    vesk::bench_lateness(root, vesk::arg_or(argc, argv, 3, 100), vesk::arg_or(argc, argv, 4, 30));
  } else if (command == "memory") {
    vesk::bench_memory(root, vesk::arg_or(argc, argv, 3, 100'000));
  } else if (command == "idle") {
    vesk::bench_idle(root, vesk::arg_or(argc, argv, 3, 10));
  } else {
    vesk::run_apart([&] { vesk::bench_lateness(root, 100, 30); });
    vesk::run_apart([&] { vesk::bench_lateness(root, 1000, 30); });
    vesk::run_apart([&] { vesk::bench_memory(root, 100'000); });
    vesk::run_apart([&] { vesk::bench_idle(root, 10); });
  }
  return 0;
}
