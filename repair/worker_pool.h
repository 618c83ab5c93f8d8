// A fixed set of threads that run jobs, for the scanning of chunks while the next one is read.
// Started once for a repair and joined when it ends: no thread outlives it but one that must
// finish an abandoned read first.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nestmend {

class WorkerPool {
 public:
  // As many as the system gives, up to `workers`: perhaps none.
  explicit WorkerPool(unsigned workers);
  // Waits for the jobs that are running and drops those not yet begun.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::function<void()> job);
  std::size_t size() const { return threads_.size(); }

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace nestmend
