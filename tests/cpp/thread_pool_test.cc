#include "engine/thread_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

namespace vesk {
namespace {

using namespace std::chrono_literals;

// A gate that tasks wait at until the test opens it.
class Gate {
 public:
  void arrive_and_wait() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  bool wait_for_arrivals(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] { return arrived_ >= count; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int arrived_ = 0;
  bool open_ = false;
};

TEST(ThreadPoolTest, EveryBlockedTaskGetsAThreadOfItsOwn) {
  ThreadPool pool(10s);
  Gate gate;
  for (int i = 0; i < 8; ++i) pool.submit([&] { gate.arrive_and_wait(); });
  EXPECT_TRUE(gate.wait_for_arrivals(8));  // all eight run at once
  EXPECT_EQ(pool.thread_count(), 8u);
  gate.open();
}

TEST(ThreadPoolTest, IdleThreadsAreReusedThenLeave) {
  ThreadPool pool(500ms);
  std::atomic<int> done = 0;
  pool.submit([&] { ++done; });
  while (done.load() < 1) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // let the thread go back to waiting for work
  pool.submit([&] { ++done; });       // the idle thread takes it
  while (done.load() < 2) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pool.thread_count(), 1u);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (pool.thread_count() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(pool.thread_count(), 0u);
}

TEST(ThreadPoolTest, DestructionWaitsForRunningTasksAndSurvivesThrowingOnes) {
  std::atomic<int> finished = 0;
  {
    ThreadPool pool(10s);
    pool.submit([] { throw std::runtime_error("boom"); });
    for (int i = 0; i < 4; ++i) {
      pool.submit([&] {
        std::this_thread::sleep_for(20ms);
        ++finished;
      });
    }
  }
  EXPECT_EQ(finished.load(), 4);
}

}  // namespace
}  // namespace vesk
