// The thread on which a run makes every file call, and the one place that decides how the thread
// running the repair waits for them. A window runs the repair on its own thread and must go on
// handling its events however slow or stalled the storage is: it hands each call over and waits
// in Await, which gives it a turn every few milliseconds until the call returns, and in between
// lets it sleep in a way that wakes for its events (see Waiting).
// Calls run one at a time, in the order they were handed over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace nestmend {

// The thread that must never wait for the storage: a window's. The system's file layers check
// every call against it (CheckFileCallAllowedHere), so a change that reads on a window's thread
// fails a test instead of freezing a user's window. A call made there because the system
// refused a storage thread is allowed.
void ForbidFileCallsOnThisThread();
bool FileCallsAllowedHere();
// Made at the start of every call of the system's file layer: in a build with tests, a call on
// the forbidden thread ends the program with a message, failing whatever test made it.
void CheckFileCallAllowedHere();

class StorageThread {
 public:
  // What a caller with events of its own (a window's thread) does while a call is out.
  struct Waiting {
    // Called every few milliseconds: handles the caller's events; false once the user has asked
    // to stop.
    std::function<bool()> turn;
    // Optional: sleeps for at most the time given, handling the caller's events as they arrive,
    // and returns sooner once `wake` has been called. Without it the caller sleeps on the storage
    // thread's own signal, and its events wait for its next turn.
    std::function<void(std::chrono::milliseconds)> sleep;
    // Ends that sleep. Called on the storage thread as each call returns, which can be after the
    // caller has gone (an abandoned call): it must hold nothing that goes with the caller.
    std::function<void()> wake;
  };
  using Ticket = std::uint64_t;

  enum class Patience {
    // A call that changes no byte of the file (an open, a read, a look at its identity): when
    // the caller's turn asks to stop, it is abandoned and left to end on its own.
    kUntilStopped,
    // A write, a flush or a cut-back: leaving before it returns could let it land after whatever
    // comes next, so it is waited for whatever happens, the caller still given its turns.
    kToTheEnd,
  };

  // Where the system refuses a thread, calls run at once on the caller's.
  explicit StorageThread(Waiting waiting = {});
  // Ends the thread once the calls handed to it are done; when a call was abandoned, without
  // waiting for it (the thread then ends on its own).
  ~StorageThread();
  StorageThread(const StorageThread&) = delete;
  StorageThread& operator=(const StorageThread&) = delete;

  // Hands `call` over and returns at once. It must own or share whatever it uses: an abandoned
  // call may run after its caller is gone.
  Ticket Post(std::function<void()> call);
  // Waits until the call of `ticket` has returned; false when it was abandoned.
  bool Await(Ticket ticket, Patience patience);

  // Runs `call` there and waits for it: its result, or nothing when it was abandoned or threw.
  template <typename Call>
  auto Run(Call call, Patience patience) -> std::optional<decltype(call())> {
    auto result = std::make_shared<std::optional<decltype(call())>>();
    const Ticket ticket = Post([result, call = std::move(call)]() mutable { *result = call(); });
    if (!Await(ticket, patience)) return std::nullopt;
    return std::move(*result);
  }

  // From now on waits without the caller's turns: for the program's end, when the window that
  // handled its events is gone.
  void WaitQuietly() { quiet_ = true; }

  // Whether a call was abandoned: the user asked to stop while it was out.
  bool abandoned() const { return abandoned_; }
  // As if one had been: the calls still out are not waited for when this ends.
  void Abandon() { abandoned_ = true; }
  // Whether it has a thread of its own (the system may refuse one).
  bool started() const { return thread_.joinable(); }
  // How many threads are still finishing calls that were abandoned.
  static int StillFinishing();

 private:
  struct Shared;

  std::shared_ptr<Shared> shared_;
  Waiting waiting_;
  std::thread thread_;
  bool abandoned_ = false;
  bool quiet_ = false;
};

}  // namespace nestmend
