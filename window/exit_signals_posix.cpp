#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "exit_signals.h"

namespace nestmend {
namespace {

std::atomic<int> signalled{0};
int wake_up[2] = {-1, -1};

void OnExitSignal(int signal_number) {
  const int saved_errno = errno;
  int none = 0;
  signalled.compare_exchange_strong(none, signal_number);
  // Wakes an idle event loop; a full pipe has woken it already.
  [[maybe_unused]] const ssize_t ignored = write(wake_up[1], "x", 1);
  errno = saved_errno;
}

}  // namespace

void CatchExitSignals() {
  if (wake_up[0] >= 0 || pipe2(wake_up, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnExitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a write or flush in progress goes on; the run stops after it
  for (const int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
  }
}

bool ExitSignalled() { return signalled.load() != 0; }

int ExitSignalNumber() { return signalled.load(); }

int ExitSignalDescriptor() { return wake_up[0]; }

}  // namespace nestmend
