// Shows the window and runs the event loop, on Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "append_guard_windows.h"
#include "command_line.h"
#include "exit_signals.h"
#include "form1_win32.h"
#include "identity.h"
#include "utf16.h"

namespace {

// What the command line may ask of Nestmend.exe: a window with a file named. A program with a
// window gives a console no exit status it waits for, so checks and repairs from a terminal are
// left to Nestmend for Linux.
constexpr wchar_t kWindowsUsage[] =
    L"Nestmend.exe [FILE]\n\n"
    L"Opens Nestmend's window with FILE in its path box; Begin repairs it. Explorer's \"Open "
    L"with\" and \"Send to\", and a file dropped on Nestmend.exe's icon, name the file this way.\n\n"
    L"--check and --repair, which check and repair files from a terminal, are in Nestmend for "
    L"Linux only.";

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show_command) {
  int count = 0;
  wchar_t** const wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> arguments;
  for (int index = 1; wide_arguments != nullptr && index < count; ++index) {
    arguments.emplace_back(wide_arguments[index]);
  }
  LocalFree(wide_arguments);
  // Started by this program to guard an append, with no window of its own.
  if (nestmend::RunAsAppendGuard(arguments)) return 0;
  std::vector<std::string> utf8;
  for (const std::wstring& argument : arguments) utf8.push_back(nestmend::Narrow(argument));
  const nestmend::CommandLine command = nestmend::ParseCommandLine(utf8);
  using Action = nestmend::CommandLine::Action;
  if (command.action != Action::kWindow) {
    const std::wstring title = nestmend::Wide(nestmend::kApplicationTitle) + L" " +
                               nestmend::Wide(nestmend::kApplicationVersion);
    MessageBoxW(nullptr, kWindowsUsage, title.c_str(), MB_OK);
    return command.action == Action::kHelp || command.action == Action::kVersion ? 0 : 2;
  }
  nestmend::EnableAppendGuard();
  // The status line's description for screen readers comes through COM.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  nestmend::CatchExitSignals();
  nestmend::Form1 form;
  if (!form.Show(show_command)) return 1;
  if (!command.paths.empty()) form.logic().FileNamed(command.paths.front());
  return form.RunEventLoop();
}
