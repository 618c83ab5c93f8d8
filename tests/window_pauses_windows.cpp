// Measures from outside how long Nestmend.exe's window leaves other programs waiting, as
// Windows does before it calls a window "Not Responding": sends it WM_NULL every 5 ms, each as
// soon as the last returned, and asks IsHungAppWindow each time, until the window is gone or the
// file STOP exists. Then prints the longest round trip and whether the window was ever hung:
// "longest_ms=12.3 hung=0 messages=456".
// usage: window_pauses.exe STOP
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HWND window = nullptr;
  for (int attempt = 0; attempt < 2000 && window == nullptr; ++attempt) {
    window = FindWindowW(L"Nestmend.Form1", nullptr);
    Sleep(5);
  }
  if (window == nullptr) {
    std::puts("no window");
    return 1;
  }
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
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
  while (IsWindow(window) && GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
    LARGE_INTEGER sent{};
    LARGE_INTEGER answered{};
    QueryPerformanceCounter(&sent);
    DWORD_PTR result = 0;
    messages += SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result) != 0;
    QueryPerformanceCounter(&answered);
    const double took_ms = 1000.0 * static_cast<double>(answered.QuadPart - sent.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    longest_ms = std::max(longest_ms, took_ms);
    Sleep(took_ms < 5 ? 5 - static_cast<DWORD>(took_ms) : 0);
  }
  done = true;
  watch.join();
  std::printf("longest_ms=%.1f hung=%d messages=%d\n", longest_ms, hung ? 1 : 0, messages);
  return 0;
}
