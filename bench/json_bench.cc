// Micro-benchmarks of the JSON layer on a typical log line (~330 bytes, a
// timer-creation entry): decoding it field by field with the pull reader,
// checking it with skip_value, building a generic value, and writing it.
//
//   build/json/bench/json_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"

namespace vesk::json {
namespace {

constexpr std::string_view kLine =
    R"({"v":1,"ts":"2026-03-02T08:59:59.001234567Z","event":{"type":"TIMER_CREATED","spec":{"id":"nightly-report",)"
    R"("schedule":{"kind":"cron","expr":"30 2 * * *"},"retry":{"max_attempts":3,"backoff":{"kind":"exponential",)"
    R"("base_seconds":30,"max_seconds":3600}},"timezone":"Europe/Paris","created_at":"2026-03-02T08:59:59.001200Z"}}})";

// The decoded form, as a record decoder would fill it: text fields stay
// views into the line.
struct Entry {
  std::uint8_t v = 0;
  std::string_view ts, type, id, schedule_kind, expr, backoff_kind, timezone, created_at;
  std::uint32_t max_attempts = 0;
  std::uint64_t base_seconds = 0, max_seconds = 0;
};

#define VESK_TRY(expr)                            \
  do {                                            \
    if (auto ok_ = (expr); !ok_) return false;    \
  } while (false)

template <typename T>
bool get(ReadResult<T> result, T& out) {
  if (!result) return false;
  out = *result;
  return true;
}

// Calls `member(key)` for each key of the object the reader stands before.
template <typename Member>
bool members(Reader& in, Member member) {
  VESK_TRY(in.begin_object("a map"));
  for (;;) {
    auto key = in.next_key();
    if (!key) return false;
    if (!*key) return true;
    if (!member(**key)) return false;
  }
}

bool decode(std::string_view line, Entry& e) {
  Reader in(line);
  const bool ok = members(in, [&](std::string_view key) {
    if (key == "v") return get(in.read_u8(), e.v);
    if (key == "ts") return get(in.read_string(), e.ts);
    if (key != "event") return bool(in.skip_value());
    return members(in, [&](std::string_view key) {
      if (key == "type") return get(in.read_string(), e.type);
      if (key != "spec") return bool(in.skip_value());
      return members(in, [&](std::string_view key) {
        if (key == "id") return get(in.read_string(), e.id);
        if (key == "timezone") return get(in.read_string(), e.timezone);
        if (key == "created_at") return get(in.read_string(), e.created_at);
        if (key == "schedule") {
          return members(in, [&](std::string_view key) {
            if (key == "kind") return get(in.read_string(), e.schedule_kind);
            if (key == "expr") return get(in.read_string(), e.expr);
            return bool(in.skip_value());
          });
        }
        if (key == "retry") {
          return members(in, [&](std::string_view key) {
            if (key == "max_attempts") return get(in.read_u32(), e.max_attempts);
            if (key != "backoff") return bool(in.skip_value());
            return members(in, [&](std::string_view key) {
              if (key == "kind") return get(in.read_string(), e.backoff_kind);
              if (key == "base_seconds") return get(in.read_u64(), e.base_seconds);
              if (key == "max_seconds") return get(in.read_u64(), e.max_seconds);
              return bool(in.skip_value());
            });
          });
        }
        return bool(in.skip_value());
      });
    });
  });
  return ok && in.finish();
}

void encode(std::string& out, const Entry& e) {
  Writer w(out);
  w.begin_object();
  w.key("v");
  w.u64(e.v);
  w.key("ts");
  w.string(e.ts);
  w.key("event");
  w.begin_object();
  w.key("type");
  w.string(e.type);
  w.key("spec");
  w.begin_object();
  w.key("id");
  w.string(e.id);
  w.key("schedule");
  w.begin_object();
  w.key("kind");
  w.string(e.schedule_kind);
  w.key("expr");
  w.string(e.expr);
  w.end_object();
  w.key("retry");
  w.begin_object();
  w.key("max_attempts");
  w.u64(e.max_attempts);
  w.key("backoff");
  w.begin_object();
  w.key("kind");
  w.string(e.backoff_kind);
  w.key("base_seconds");
  w.u64(e.base_seconds);
  w.key("max_seconds");
  w.u64(e.max_seconds);
  w.end_object();
  w.end_object();
  w.key("timezone");
  w.string(e.timezone);
  w.key("created_at");
  w.string(e.created_at);
  w.end_object();
  w.end_object();
  w.end_object();
}

void BM_DecodeLogLine(benchmark::State& state) {
  for (auto _ : state) {
    Entry entry;
    const bool ok = decode(kLine, entry);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(entry);
    if (!ok) state.SkipWithError("the line did not decode");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_DecodeLogLine);

void BM_SkipLogLine(benchmark::State& state) {
  for (auto _ : state) {
    Reader in(kLine);
    const bool ok = in.skip_value() && in.finish();
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_SkipLogLine);

void BM_ParseLogLineToValue(benchmark::State& state) {
  for (auto _ : state) {
    auto value = parse(kLine);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_ParseLogLineToValue);

// Into a reused buffer, as the log writer appends line after line.
void BM_WriteLogLine(benchmark::State& state) {
  Entry entry;
  if (!decode(kLine, entry)) state.SkipWithError("the line did not decode");
  std::string out;
  for (auto _ : state) {
    out.clear();
    encode(out, entry);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != kLine) state.SkipWithError("the line did not write back the same");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_WriteLogLine);

void BM_WriteValueCompact(benchmark::State& state) {
  const Value value = *parse(kLine);
  for (auto _ : state) {
    std::string out = to_string(value);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_WriteValueCompact);

void BM_EscapeLongString(benchmark::State& state) {
  const std::string text = std::string(4000, 'a') + "\n" + std::string(95, 'b');
  std::string out;
  for (auto _ : state) {
    out.clear();
    append_escaped(out, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EscapeLongString);

}  // namespace
}  // namespace vesk::json
