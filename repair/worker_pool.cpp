#include "worker_pool.h"

#include <system_error>

namespace nestmend {

WorkerPool::WorkerPool(unsigned workers) {
  threads_.reserve(workers);
  try {
    for (unsigned worker = 0; worker < workers; ++worker) threads_.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
    // A process limit: the scan goes on with the threads it has.
  }
}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(std::function<void()> job) {
  {
    const std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void WorkerPool::Work() {
  while (true) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace nestmend
