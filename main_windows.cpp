// Shows the window and runs the event loop, on Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <objbase.h>

#include "append_guard_windows.h"
#include "exit_signals.h"
#include "form1_win32.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show_command) {
  // Started by this program to guard an append, with no window of its own.
  if (nestmend::RunAsAppendGuard()) return 0;
  nestmend::EnableAppendGuard();
  // The status line's description for screen readers comes through COM.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  nestmend::CatchExitSignals();
  nestmend::Form1 form;
  if (!form.Show(show_command)) return 1;
  return form.RunEventLoop();
}
