// The engine's queue of future fires: regular fires and retries, earliest
// first. Used only under the engine lock; not durable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "time/instant.h"

namespace vesk {

struct DueEntry {
  std::string timer_id;
  std::optional<std::string> run_id;  // present for a retry of that run
  Instant due;
  std::uint32_t attempt = 1;          // the attempt the run will carry
  friend bool operator==(const DueEntry&, const DueEntry&) = default;
};

// A binary min-heap ordered by `due` alone; entries with equal `due` leave in
// no particular order.
class DueHeap {
 public:
  void push(DueEntry entry);
  // Removes and returns every entry due at or before `now`, earliest first.
  std::vector<DueEntry> take_due(Instant now);
  std::optional<Instant> earliest_due() const;
  // Removes every entry of the timer; returns how many of them were retries.
  std::size_t remove_timer(std::string_view timer_id);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  void sift_up(std::size_t index);
  void sift_down(std::size_t index);
  DueEntry pop();

  std::vector<DueEntry> entries_;
};

}  // namespace vesk
