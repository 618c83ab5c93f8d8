// Looks at Nestmend.exe's window from another program, as Windows and assistive tools do.
// usage: window_probe.exe pauses STOP   sends the window WM_NULL every 5 ms, each as soon as the
//                                       last returned, and asks IsHungAppWindow alongside, until
//                                       the window is gone or the file STOP exists; then prints
//                                       "longest_ms=12.3 hung=0 messages=456" (after "measuring"
//                                       once it has found the window)
//        window_probe.exe set-path TEXT sets the path box's text; \uXXXX in TEXT is one UTF-16
//                                       unit, so that an unpaired surrogate can be given
//        window_probe.exe status        prints the status line's text, then its tooltip, UTF-8
//        window_probe.exe bar           prints the progress bar's position and range
//        window_probe.exe dialog        prints whether the open file dialog shows its read-only
//                                       box, and its list of file types
//        window_probe.exe map FILE STOP maps FILE into memory, as a viewer would, until STOP exists
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <string>
#include <thread>

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
  std::string text(
      static_cast<std::size_t>(WideCharToMultiByte(
          CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr)),
      '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                      static_cast<int>(text.size()), nullptr, nullptr);
  return text;
}

bool Stopped(const wchar_t* stop) { return GetFileAttributesW(stop) != INVALID_FILE_ATTRIBUTES; }

int Pauses(HWND window, const wchar_t* stop) {
  double longest_ms = 0;
  std::atomic<bool> hung{false};
  std::atomic<bool> done{false};
  // Asked alongside, so that a window that stops answering is seen hung while it does.
  std::thread watch([&] {
    while (!done) {
      hung = hung || IsHungAppWindow(window);
      Sleep(50);
    }
  });
  int messages = 0;
  std::puts("measuring");
  std::fflush(stdout);
  const auto begun = std::chrono::steady_clock::now();
  while (IsWindow(window) && !Stopped(stop)) {
    const auto sent = std::chrono::steady_clock::now();
    DWORD_PTR result = 0;
    const bool answered =
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result) != 0;
    messages += answered;
    const double took_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    // A message the window never answered because it went meanwhile (the program ending) is no
    // pause; one it left unanswered is.
    if (!answered && !IsWindow(window)) break;
    if (took_ms > 12) {  // where the long ones fell, for whoever looks into them
      std::fprintf(stderr, "pause %.1f ms at %.3f s\n", took_ms,
                   std::chrono::duration<double>(sent - begun).count());
    }
    longest_ms = std::max(longest_ms, took_ms);
    Sleep(took_ms < 5 ? 5 - static_cast<DWORD>(took_ms) : 0);
  }
  done = true;
  watch.join();
  std::printf("longest_ms=%.1f hung=%d messages=%d\n", longest_ms, hung ? 1 : 0, messages);
  return 0;
}

std::wstring Unescaped(const wchar_t* text) {
  std::wstring result;
  for (const wchar_t* at = text; *at != L'\0'; ++at) {
    if (at[0] == L'\\' && at[1] == L'u' && wcslen(at) >= 6 &&
        std::all_of(at + 2, at + 6, [](wchar_t digit) { return iswxdigit(digit) != 0; })) {
      result.push_back(static_cast<wchar_t>(wcstoul(std::wstring(at + 2, 4).c_str(), nullptr, 16)));
      at += 5;
    } else {
      result.push_back(*at);
    }
  }
  return result;
}

std::wstring Text(HWND control) {
  std::wstring text(static_cast<std::size_t>(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0)) + 1,
                    L'\0');
  text.resize(static_cast<std::size_t>(
      SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

// The tooltip the form shows over `control`, read from its tooltip window in the form's memory.
std::wstring Tooltip(HWND form, HWND control) {
  HWND tooltip = nullptr;
  while ((tooltip = FindWindowExW(nullptr, tooltip, TOOLTIPS_CLASSW, nullptr)) != nullptr) {
    if (GetWindow(tooltip, GW_OWNER) == form) break;
  }
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

int Map(const wchar_t* path, const wchar_t* stop) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  const HANDLE mapping = file == INVALID_HANDLE_VALUE
                             ? nullptr
                             : CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  std::printf("%s\n", view ? "mapped" : "not mapped");
  std::fflush(stdout);
  while (view && !Stopped(stop)) Sleep(10);
  return view ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"map" && argc == 4) return Map(argv[2], argv[3]);
  const HWND form = FindForm();
  if (form == nullptr) {
    std::puts("no window");
    return 1;
  }
  if (command == L"pauses" && argc == 3) return Pauses(form, argv[2]);
  if (command == L"set-path" && argc == 3) {
    const std::wstring text = Unescaped(argv[2]);
    SendMessageW(Control(form, L"Edit"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return 0;
  }
  if (command == L"status") {
    const HWND status = Control(form, L"Static");
    std::printf("%s\n%s\n", Utf8(Text(status)).c_str(), Utf8(Tooltip(form, status)).c_str());
    return 0;
  }
  if (command == L"bar") {
    const HWND bar = Control(form, PROGRESS_CLASSW);
    std::printf("position=%d range=%d..%d\n", static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)),
                static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0)),
                static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)));
    return 0;
  }
  if (command == L"dialog") {
    const HWND dialog = FindWindowW(nullptr, L"Open");
    const HWND read_only = GetDlgItem(dialog, 0x410);  // chx1
    const HWND types = GetDlgItem(dialog, 0x470);      // cmb1
    std::printf("read-only box %s; types:",
                read_only && IsWindowVisible(read_only) ? "shown" : "hidden");
    const auto count = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0));
    for (int index = 0; index < count; ++index) {
      const auto at = static_cast<WPARAM>(index);
      std::wstring type(static_cast<std::size_t>(SendMessageW(types, CB_GETLBTEXTLEN, at, 0)) + 1,
                        L'\0');
      SendMessageW(types, CB_GETLBTEXT, at, reinterpret_cast<LPARAM>(type.data()));
      std::printf(" %s;", Utf8(type.c_str()).c_str());
    }
    std::printf("\n");
    return 0;
  }
  return 2;
}
