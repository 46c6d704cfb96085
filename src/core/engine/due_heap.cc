#include "engine/due_heap.h"

#include <utility>

namespace vesk {

void DueHeap::push(DueEntry entry) {
  entries_.push_back(std::move(entry));
  sift_up(entries_.size() - 1);
}

void DueHeap::sift_up(std::size_t index) {
  while (index > 0) {
    const std::size_t parent = (index - 1) / 2;
    if (!(entries_[index].due < entries_[parent].due)) break;
    std::swap(entries_[index], entries_[parent]);
    index = parent;
  }
}

void DueHeap::sift_down(std::size_t index) {
  const std::size_t size = entries_.size();
  while (true) {
    const std::size_t left = 2 * index + 1;
    if (left >= size) break;
    const std::size_t right = left + 1;
    const std::size_t child = right < size && entries_[right].due < entries_[left].due ? right : left;
    if (!(entries_[child].due < entries_[index].due)) break;
    std::swap(entries_[index], entries_[child]);
    index = child;
  }
}

DueEntry DueHeap::pop() {
  DueEntry top = std::move(entries_.front());
  if (entries_.size() > 1) {
    entries_.front() = std::move(entries_.back());
    entries_.pop_back();
    sift_down(0);
  } else {
    entries_.pop_back();
  }
  return top;
}

std::vector<DueEntry> DueHeap::take_due(Instant now) {
  std::vector<DueEntry> due;
  while (!entries_.empty() && !(now < entries_.front().due)) due.push_back(pop());
  return due;
}

std::optional<Instant> DueHeap::earliest_due() const {
  if (entries_.empty()) return std::nullopt;
  return entries_.front().due;
}

std::size_t DueHeap::remove_timer(std::string_view timer_id) {
  std::size_t retries = 0;
  std::erase_if(entries_, [&](const DueEntry& entry) {
    if (entry.timer_id != timer_id) return false;
    retries += entry.run_id.has_value();
    return true;
  });
  // Rebuild the heap over the kept entries, bottom-up.
  for (std::size_t i = entries_.size() / 2; i-- > 0;) sift_down(i);
  return retries;
}

}  // namespace vesk
