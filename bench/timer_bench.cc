// Micro-benchmarks of the timer model: cron parsing and next-fire search.
//
//   build/cpp/bench/timer_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "time/instant.h"
#include "time/zone.h"
#include "timer/cron.h"
#include "timer/schedule.h"

namespace vesk {
namespace {

// A spread of starting instants so the search does not see one input only.
Instant start_at(int i) { return Instant{1'781'000'000 + static_cast<std::int64_t>(i % 4096) * 7'919, 0}; }

void BM_NextFire(benchmark::State& state, const char* expr, const char* zone) {
  const Schedule schedule = CronSchedule{expr};
  int i = 0;
  for (auto _ : state) {
    auto next = next_fire(schedule, start_at(i++), zone);
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK_CAPTURE(BM_NextFire, every_15_min_utc, "*/15 * * * *", "UTC");
BENCHMARK_CAPTURE(BM_NextFire, weekdays_9am_paris, "0 9 * * mon-fri", "Europe/Paris");
BENCHMARK_CAPTURE(BM_NextFire, never_feb_30, "0 0 30 2 *", "UTC");
BENCHMARK_CAPTURE(BM_NextFire, feb_29_on_sunday, "0 0 29 2 1", "UTC");
BENCHMARK_CAPTURE(BM_NextFire, feb_29_on_sunday_paris, "0 0 29 2 1", "Europe/Paris");

// The search alone, on an expression parsed and a zone looked up beforehand.
void BM_Occurrence(benchmark::State& state, const char* expr, const char* zone_name) {
  const CronExpr parsed = *parse_cron(expr);
  const auto zone = *lookup_zone(zone_name);
  int i = 0;
  for (auto _ : state) {
    auto next = next_occurrence(parsed, zone, start_at(i++));
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK_CAPTURE(BM_Occurrence, every_15_min_utc, "*/15 * * * *", "UTC");
BENCHMARK_CAPTURE(BM_Occurrence, weekdays_9am_paris, "0 9 * * mon-fri", "Europe/Paris");

void BM_ParseCron(benchmark::State& state, const char* expr) {
  for (auto _ : state) {
    auto parsed = parse_cron(expr);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK_CAPTURE(BM_ParseCron, every_15_min, "*/15 * * * *");
BENCHMARK_CAPTURE(BM_ParseCron, weekdays_9am, "0 9 * * mon-fri");
BENCHMARK_CAPTURE(BM_ParseCron, weekdays_9am_numbers, "0 9 * * 2-6");
BENCHMARK_CAPTURE(BM_ParseCron, lists_and_ranges, "0,30 8-18/2 1-15 jan-jun,sep mon,wed,fri");
BENCHMARK_CAPTURE(BM_ParseCron, rejected_huge_number, "99999999999999999999 * * * *");

}  // namespace
}  // namespace vesk
