// Threads for run tasks: one per task in flight, since a registered function
// may block for any time. Idle threads wait a while for new work, then end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace vesk {

class ThreadPool {
 public:
  explicit ThreadPool(std::chrono::milliseconds idle_timeout = std::chrono::seconds(10));
  // Waits for every task to finish, then joins every thread.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Runs `task` on an idle thread, or on a new one when none is idle.
  void submit(std::function<void()> task);

  std::size_t thread_count();

 private:
  struct Worker {
    std::thread thread;
    bool finished = false;
  };
  void work(Worker* self);
  void reap_finished();  // called with mutex_ held

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::list<Worker> workers_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
  const std::chrono::milliseconds idle_timeout_;
};

}  // namespace vesk
