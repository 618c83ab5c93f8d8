// What the storage table measures of Nestmend.exe's window from another program, as Windows
// does, and what another program does to its file.
// usage: window_watch.exe pauses STOP   sends the window WM_NULL every 5 ms, each as soon as the
//                                       last returned, and asks IsHungAppWindow alongside, until
//                                       the window is gone or the file STOP exists; then prints
//                                       "longest_ms=12.3 hung=0 messages=456" (after "measuring"
//                                       once it has found the window)
//        window_watch.exe map FILE STOP maps FILE into memory, as a viewer would, until STOP exists
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
  if (form == nullptr || command != L"pauses" || argc != 3) return 2;
  return Pauses(form, argv[2]);
}
