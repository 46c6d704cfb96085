#include "engine/due_heap.h"

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;

DueEntry entry(const char* timer, const char* due, std::optional<std::string> run = std::nullopt) {
  return DueEntry{timer, std::move(run), at(due), run ? 2u : 1u};
}

std::vector<std::string> timers(const std::vector<DueEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.timer_id);
  return out;
}

TEST(DueHeapTest, EmptyHeap) {
  DueHeap heap;
  EXPECT_TRUE(heap.take_due(at("2026-03-02T10:00:05Z")).empty());
  EXPECT_EQ(heap.earliest_due(), std::nullopt);
}

TEST(DueHeapTest, TakesDueEntriesEarliestFirst) {
  DueHeap heap;
  heap.push(entry("c", "2026-03-02T10:00:02Z"));
  heap.push(entry("a", "2026-03-02T10:00:00Z"));
  heap.push(entry("b", "2026-03-02T10:00:01Z"));
  EXPECT_EQ(heap.earliest_due(), at("2026-03-02T10:00:00Z"));
  EXPECT_EQ(timers(heap.take_due(at("2026-03-02T10:00:05Z"))), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(heap.empty());
}

TEST(DueHeapTest, DueAtExactlyNowLeavesAndOneNanosecondLaterStays) {
  DueHeap heap;
  heap.push(entry("now", "2026-03-02T10:00:00Z"));
  heap.push(entry("later", "2026-03-02T10:00:00.000000001Z"));
  heap.push(entry("same", "2026-03-02T10:00:00Z"));
  auto taken = timers(heap.take_due(at("2026-03-02T10:00:00Z")));
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<std::string>{"now", "same"}));
  EXPECT_EQ(heap.earliest_due(), at("2026-03-02T10:00:00.000000001Z"));
}

TEST(DueHeapTest, RemoveTimerDropsRegularAndRetryEntriesAndKeepsOrder) {
  DueHeap heap;
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    const Instant due{1'780'000'000 + static_cast<std::int64_t>(random() % 1000), 0};
    heap.push(DueEntry{"t" + std::to_string(i % 5), std::nullopt, due, 1});
  }
  heap.push(entry("t1", "2026-03-02T10:00:00Z", "run_X"));
  EXPECT_EQ(heap.remove_timer("t1"), 1u);
  EXPECT_EQ(heap.remove_timer("t"), 0u);  // the whole id must match
  EXPECT_EQ(heap.size(), 160u);
  const auto taken = heap.take_due(Instant::kMax);
  ASSERT_EQ(taken.size(), 160u);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    EXPECT_NE(taken[i].timer_id, "t1");
    if (i > 0) {
      EXPECT_LE(taken[i - 1].due, taken[i].due);
    }
  }
}

}  // namespace
}  // namespace vesk
