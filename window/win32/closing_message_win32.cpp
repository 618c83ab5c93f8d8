#include "closing_message_win32.h"

// After windows.h, which it needs.
#include <oleacc.h>

namespace nestmend {
namespace {

// The window under the box showing now, and the box, for the hook that watches it being made.
HWND message_window = nullptr;
HWND message_box = nullptr;
const std::wstring* message_description = nullptr;

LRESULT CALLBACK OnBoxMade(int code, WPARAM w, LPARAM l) {
  // Making a box takes the system tens of milliseconds (under Wine up to fifty), and a thread
  // that makes one answers nothing meanwhile: at each step, what other programs sent the window
  // (the desktop asking whether it is alive) is answered.
  MSG sent{};
  PeekMessageW(&sent, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  if (code == HCBT_ACTIVATE && message_box == nullptr && message_window != nullptr &&
      reinterpret_cast<HWND>(w) != message_window) {
    message_box = reinterpret_cast<HWND>(w);
    // The box's fixed words do not say how the run ended: its description does.
    IAccPropServices* services = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IAccPropServices, reinterpret_cast<void**>(&services)))) {
      services->SetHwndPropStr(message_box, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                               PROPID_ACC_DESCRIPTION, message_description->c_str());
      services->Release();
    }
    PostMessageW(message_window, kEnableAgain, 0, 0);
  }
  return CallNextHookEx(nullptr, code, w, l);
}

}  // namespace

void ShowClosingMessage(HWND window, const std::wstring& title, const std::wstring& text,
                        const std::wstring& description) {
  message_window = window;
  message_box = nullptr;
  message_description = &description;
  const HHOOK hook = SetWindowsHookExW(WH_CBT, OnBoxMade, nullptr, GetCurrentThreadId());
  MessageBoxW(window, text.c_str(), title.c_str(), MB_OK);
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  message_window = nullptr;
  message_box = nullptr;
}

void DismissClosingMessage(HWND window) {
  if (message_window == window && message_box != nullptr) {
    PostMessageW(message_box, WM_COMMAND, IDOK, 0);
  }
}

}  // namespace nestmend
