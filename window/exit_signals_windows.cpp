#include <windows.h>

#include <atomic>

#include "exit_signals.h"

namespace nestmend {
namespace {

std::atomic<bool> signalled{false};

// Ctrl+C, Ctrl+Break or a closed console, where the program was started from one. Logging off
// reaches the window itself, as WM_QUERYENDSESSION.
BOOL WINAPI OnConsoleEvent(DWORD) {
  signalled.store(true);
  return TRUE;
}

}  // namespace

void CatchExitSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool ExitSignalled() { return signalled.load(); }

int ExitSignalDescriptor() { return -1; }

}  // namespace nestmend
