// Looks at Nestmend.exe's window from another program, as Windows and assistive tools do.
// usage: window_probe.exe set-path TEXT sets the path box's text; \uXXXX in TEXT is one UTF-16
//                                       unit, so that an unpaired surrogate can be given
//        window_probe.exe state         prints, a line each: the status line's text; its tooltip,
//                                       UTF-8 and on one line; "shown whole" when each of the
//                                       tooltip's lines fits its width, or "cut"; the progress
//                                       bar's position and range; the text of the control that
//                                       has the focus; "tooltip shown" or "no tooltip"
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

HWND FindForm() {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (const HWND window = FindWindowW(L"Nestmend.Form1", nullptr)) return window;
    Sleep(5);
  }
  return nullptr;
}

// A control of the form, by its window class.
HWND Control(HWND form, const wchar_t* kind) { return FindWindowExW(form, nullptr, kind, nullptr); }

std::string Utf8(const std::wstring& wide) {
  std::string text(3 * wide.size(), '\0');  // at most three bytes for each UTF-16 unit
  text.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          static_cast<int>(text.size()), nullptr, nullptr)));
  return text;
}

std::wstring Unescaped(std::wstring text) {
  for (std::size_t at = 0; (at = text.find(L"\\u", at)) != std::wstring::npos; ++at) {
    text.replace(at, 6, 1, static_cast<wchar_t>(std::stoul(text.substr(at + 2, 4), nullptr, 16)));
  }
  return text;
}

std::wstring Text(HWND control) {
  std::wstring text(static_cast<std::size_t>(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0)) + 1,
                    L'\0');
  text.resize(static_cast<std::size_t>(
      SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

// The form's tooltip window.
HWND TooltipOf(HWND form) {
  HWND tooltip = nullptr;
  while ((tooltip = FindWindowExW(nullptr, tooltip, TOOLTIPS_CLASSW, nullptr)) != nullptr) {
    if (GetWindow(tooltip, GW_OWNER) == form) break;
  }
  return tooltip;
}

// Whether each line of `text` fits inside the tooltip's border and margins at its widest, in its
// font (the system's status font).
bool Fits(HWND tooltip, const std::wstring& text) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  const HDC context = GetDC(nullptr);
  const HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
  const HGDIOBJ previous = SelectObject(context, font);
  const auto width = SendMessageW(tooltip, TTM_GETMAXTIPWIDTH, 0, 0);
  bool fits = width > 0;
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t end = std::min(text.find(L'\n', begin), text.size());
    SIZE extent{};
    GetTextExtentPoint32W(context, text.c_str() + begin, static_cast<int>(end - begin), &extent);
    fits = fits && extent.cx <= width - 16;
    begin = end + 1;
  }
  SelectObject(context, previous);
  DeleteObject(font);
  ReleaseDC(nullptr, context);
  return fits;
}

// The tooltip the form shows over `control`, read from its tooltip window in the form's memory.
std::wstring Tooltip(HWND form, HWND control) {
  const HWND tooltip = TooltipOf(form);
  DWORD process_id = 0;
  GetWindowThreadProcessId(form, &process_id);
  const HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process_id);
  if (tooltip == nullptr || process == nullptr) return L"(no tooltip)";
  constexpr std::size_t kCharacters = 1024;
  auto* remote = static_cast<char*>(VirtualAllocEx(
      process, nullptr, sizeof(TTTOOLINFOW) + kCharacters * 2, MEM_COMMIT, PAGE_READWRITE));
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = form;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = reinterpret_cast<LPWSTR>(remote + sizeof tool);
  std::wstring text(kCharacters, L'\0');
  WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr);
  WriteProcessMemory(process, remote + sizeof tool, text.data(), 2, nullptr);
  SendMessageW(tooltip, TTM_GETTEXTW, kCharacters, reinterpret_cast<LPARAM>(remote));
  ReadProcessMemory(process, remote + sizeof tool, text.data(), kCharacters * 2, nullptr);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  text.resize(text.find(L'\0'));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  const HWND form = FindForm();
  if (form == nullptr) {
    std::puts("no window");
    return 1;
  }
  if (command == L"set-path" && argc == 3) {
    const std::wstring text = Unescaped(argv[2]);
    SendMessageW(Control(form, L"Edit"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return 0;
  }
  if (command != L"state") return 2;
  const HWND status = Control(form, L"Static");
  const HWND tooltip = TooltipOf(form);
  std::wstring reason = Tooltip(form, status);
  std::erase(reason, L'\u00A0');  // the slack that ends each line
  const bool whole = Fits(tooltip, reason);
  std::replace(reason.begin(), reason.end(), L'\n', L' ');
  const HWND bar = Control(form, PROGRESS_CLASSW);
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &thread);
  std::printf("%s\n%s\n%s\nposition=%d range=%d..%d\n%s\n%s\n", Utf8(Text(status)).c_str(),
              Utf8(reason).c_str(), whole ? "shown whole" : "cut",
              static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)),
              static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0)),
              static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)),
              Utf8(thread.hwndFocus ? Text(thread.hwndFocus) : L"(none)").c_str(),
              tooltip && IsWindowVisible(tooltip) ? "tooltip shown" : "no tooltip");
  return 0;
}
