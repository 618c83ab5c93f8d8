// Why the last run ended as it did, beside Nestmend.exe's status line: its tooltip, which the
// system shows when the pointer rests on the line, and its description for screen readers.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <string>
#include <string_view>

namespace nestmend {

class StatusReason {
 public:
  // The tooltip of `status`, a control of `window`.
  void Create(HWND window, HWND status);
  // Lines of the reason no wider than the status line's width, in the system's status font at
  // the window's resolution.
  void LayOut(int width, UINT dpi);
  // The reason (UTF-16), or none while a run is under way.
  void Set(std::wstring reason);
  // Shows the reason at the status line, as resting the pointer there would, until HideInPlace
  // (the next key or click).
  void ShowInPlace();
  void HideInPlace();

 private:
  // The reason broken into lines that fit the width, in the tooltip's font: the system's tooltip
  // does not break a long line everywhere (Wine draws it as one line, cut at the edge).
  std::wstring Wrapped(std::wstring_view reason) const;
  void Update();
  TTTOOLINFOW Tool(bool in_place);

  HWND window_ = nullptr;
  HWND status_ = nullptr;
  HWND tooltip_ = nullptr;
  HFONT font_ = nullptr;
  int width_ = 300;
  std::wstring text_;     // as given
  std::wstring shown_;    // as the tooltip shows it, in lines
  bool in_place_ = false;
};

}  // namespace nestmend
