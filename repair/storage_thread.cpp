#include "storage_thread.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "file_system.h"

namespace nestmend {
namespace {

std::atomic<std::thread::id> forbidden_thread;
thread_local bool making_a_call_in_place = false;  // no storage thread could be had
std::atomic<int> still_finishing{0};

// How often a waiting caller is let to handle its events: well within a frame.
constexpr std::chrono::milliseconds kWaitSlice{2};
constexpr std::chrono::microseconds kSpin{50};

}  // namespace

void ForbidFileCallsOnThisThread() { forbidden_thread.store(std::this_thread::get_id()); }

bool FileCallsAllowedHere() {
  return making_a_call_in_place || forbidden_thread.load() != std::this_thread::get_id();
}

void CheckFileCallAllowedHere() {
#if defined(NESTMEND_CHECK_THREADS)
  if (FileCallsAllowedHere()) return;
  std::fputs("Nestmend: a file call was made on the window's thread\n", stderr);
  std::abort();
#endif
}

struct StorageThread::Shared {
  std::mutex mutex;
  std::condition_variable work;      // a call handed over, or the end
  std::condition_variable finished;  // a call returned
  std::deque<std::function<void()>> calls;
  Ticket posted = 0;
  std::atomic<Ticket> done{0};
  bool ending = false;
  bool detached = false;
  std::function<void()> wake;

  void Serve() {
    GiveWayToTheWindow();
    std::unique_lock lock(mutex);
    while (true) {
      work.wait(lock, [this] { return ending || !calls.empty(); });
      if (calls.empty()) break;
      std::function<void()> call = std::move(calls.front());
      calls.pop_front();
      lock.unlock();
      try {
        call();
      } catch (const std::exception&) {
        // Memory refused inside a call: its result stays unset, which its caller takes as a
        // failure, as it takes an abandoned call.
      }
      call = nullptr;  // what it held goes before it counts as done
      lock.lock();
      ++done;
      finished.notify_all();
      if (wake) wake();
    }
    if (detached) --still_finishing;
  }
};

StorageThread::StorageThread(Waiting waiting)
    : shared_(std::make_shared<Shared>()), waiting_(std::move(waiting)) {
  if (waiting_.sleep) shared_->wake = waiting_.wake;
  try {
    thread_ = std::thread([shared = shared_] { shared->Serve(); });
  } catch (const std::system_error&) {
    // No thread to be had: the calls are made where they are handed over.
  }
}

StorageThread::~StorageThread() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->ending = true;
    if (abandoned_ && shared_->done < shared_->posted) {
      shared_->detached = true;
      ++still_finishing;
    }
  }
  shared_->work.notify_one();
  if (shared_->detached) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

StorageThread::Ticket StorageThread::Post(std::function<void()> call) {
  if (!thread_.joinable()) {
    making_a_call_in_place = true;
    call();
    making_a_call_in_place = false;
    return 0;
  }
  Ticket ticket = 0;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->calls.push_back(std::move(call));
    ticket = ++shared_->posted;
  }
  shared_->work.notify_one();
  return ticket;
}

bool StorageThread::Await(Ticket ticket, Patience patience) {
  // Most calls return within microseconds (a read from the page cache): a short spin spares
  // the caller the sleep and the wake-up.
  const auto spin_until = std::chrono::steady_clock::now() + kSpin;
  while (shared_->done.load() < ticket && std::chrono::steady_clock::now() < spin_until) {
    std::this_thread::yield();
  }
  std::unique_lock lock(shared_->mutex);
  const auto returned = [&] { return shared_->done >= ticket; };
  while (!returned()) {
    if (!waiting_.turn || quiet_) {
      shared_->finished.wait(lock, returned);
      break;
    }
    if (waiting_.sleep) {
      // A wake that comes before the sleep begins ends it at once.
      lock.unlock();
      waiting_.sleep(kWaitSlice);
      lock.lock();
      if (returned()) break;
    } else if (shared_->finished.wait_for(lock, kWaitSlice, returned)) {
      break;
    }
    lock.unlock();
    const bool go_on = waiting_.turn();
    lock.lock();
    if (!go_on && patience == Patience::kUntilStopped && !returned()) {
      abandoned_ = true;
      return false;
    }
  }
  return true;
}

int StorageThread::StillFinishing() { return still_finishing.load(); }

}  // namespace nestmend
