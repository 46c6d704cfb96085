// End-to-end figures of the storage layer, printed as plain lines:
//   replay: decode and apply a synthetic log of 1,000,000 mixed events;
//   snapshot: encode and write a snapshot of 100,000 timers.
//
//   build/cpp/bench/storage_bench [directory on the disk to measure] [replay|snapshot]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/state.h"
#include "storage/event_log.h"
#include "storage/records.h"
#include "storage/snapshot.h"
#include "storage/snapshot_codec.h"

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TimerSpec spec_for(int i) {
  return TimerSpec{"timer-" + std::to_string(i), CronSchedule{"*/15 * * * *"}, RetryPolicy{}, "Europe/Paris",
                   Instant{1'780'000'000 + i, 123'456'789}};
}

// A realistic mix: mostly the run events of 10,000 timers.
Event event_for(int i) {
  const std::string timer = "timer-" + std::to_string(i % 10'000);
  const std::string run = "run_01HZY3K1M8V2Q5T7W9X0B4C6D8";
  const Instant t{1'780'000'000 + i, 512'337};
  switch (i % 8) {
    case 0: return TimerCreated{spec_for(i % 10'000)};
    case 1: return RunDue{timer, run, Instant{1'780'000'000 + i, 0}};
    case 2: return RunStarted{timer, run, t, 1};
    case 3: return RunSucceeded{timer, run, t, 4249};
    case 4: return RunFailed{timer, run, t, "ValueError: the upstream answered 503", 1};
    case 5: return RunRetrying{timer, run, 2, t};
    case 6: return RunDue{timer, run, t};
    default: return RunDead{timer, run, t};
  }
}

void bench_replay(const std::string& dir) {
  const std::string path = join_path(dir, "replay.aof");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 1'000'000; ++i) {
      out << encode_log_entry(LogEntry{1, Instant{1'780'000'000 + i, 1'234'567}, event_for(i)}) << '\n';
    }
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(path));
  const long rss_before = peak_rss_kib();
  for (int round = 0; round < 3; ++round) {
    EngineState table;
    const auto start = Clock::now();
    auto tail = replay_log(path, 0, table);
    const double elapsed = seconds_since(start);
    if (!tail) {
      std::printf("replay failed: %s\n", tail.error().message().c_str());
      return;
    }
    std::printf("replay round %d: 1000000 events, %.1f MB in %.3f s = %.2f M events/s, %.0f MB/s\n", round,
                bytes / 1e6, elapsed, 1.0 / elapsed, bytes / 1e6 / elapsed);
  }
  std::printf("replay peak RSS growth: %.1f MB for a %.1f MB log (%.2fx)\n",
              (peak_rss_kib() - rss_before) / 1024.0, bytes / 1e6, (peak_rss_kib() - rss_before) * 1024.0 / bytes);
  std::filesystem::remove(path);
}

void bench_snapshot(const std::string& dir) {
  EngineState table;
  for (int i = 0; i < 100'000; ++i) {
    const TimerSpec spec = spec_for(i);
    table.at(spec.id).state = TimerState::kScheduled;
    table.at(spec.id).last_run = LastRunInfo{"run_01HZY3K1M8V2Q5T7W9X0B4C6D8", spec.created_at, 4249, "OK"};
    table.at(spec.id).next_run = Instant{1'790'000'000 + i, 0};
    table.at(spec.id).spec = spec;
  }
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    const std::string text = encode_snapshot(table, 0, Instant::now());
    const double encode = seconds_since(start);
    start = Clock::now();
    auto written = write_snapshot(dir, table, 0);
    const double total = seconds_since(start);
    if (!written) {
      std::printf("snapshot failed: %s\n", written.error().message().c_str());
      return;
    }
    std::printf("snapshot round %d: 100000 timers, %.1f MB; encode %.3f s; write_snapshot with syncs %.3f s\n",
                round, text.size() / 1e6, encode, total);
  }
}

}  // namespace
}  // namespace vesk

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "build/bench-data";
  std::filesystem::create_directories(dir);
  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "replay") vesk::bench_replay(dir);
  if (only.empty() || only == "snapshot") vesk::bench_snapshot(dir);
  return 0;
}
