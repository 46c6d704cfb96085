#include "engine/thread_pool.h"

#include <cxxabi.h>

namespace vesk {

ThreadPool::ThreadPool(std::chrono::milliseconds idle_timeout) : idle_timeout_(idle_timeout) {}

ThreadPool::~ThreadPool() {
  std::list<Worker> workers;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workers.swap(workers_);
  }
  cv_.notify_all();
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
}

void ThreadPool::submit(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  reap_finished();
  tasks_.push_back(std::move(task));
  // Every queued task needs a thread of its own: a task may block for good.
  if (idle_ >= tasks_.size()) {
    cv_.notify_one();
    return;
  }
  Worker& worker = workers_.emplace_back();
  worker.thread = std::thread([this, self = &worker] { work(self); });
}

std::size_t ThreadPool::thread_count() {
  std::lock_guard lock(mutex_);
  reap_finished();
  return workers_.size();
}

void ThreadPool::reap_finished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->finished) {
      it->thread.join();  // it has left work() already, or is about to
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void ThreadPool::work(Worker* self) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (tasks_.empty()) {
      if (stopping_) break;
      ++idle_;
      const bool woken = cv_.wait_for(lock, idle_timeout_, [&] { return stopping_ || !tasks_.empty(); });
      --idle_;
      if (!woken) break;  // idle for too long
      continue;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended (pthread_exit): let it unwind
    } catch (...) {
      // A task's failure must never end the host process.
    }
    task = nullptr;  // whatever the task held goes before the lock is taken
    lock.lock();
  }
  self->finished = true;
}

}  // namespace vesk
