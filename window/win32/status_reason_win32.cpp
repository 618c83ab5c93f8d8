#include "status_reason_win32.h"

#include <oleacc.h>

namespace nestmend {
namespace {

// Ends each line: no-break spaces that widen the tooltip by a few pixels, for Wine draws its
// text a little wider than it measures it, and would cut the end of the longest line.
constexpr wchar_t kSlack[] = L"\u00A0\u00A0";

}  // namespace

void StatusReason::Create(HWND window, HWND status) {
  window_ = window;
  status_ = status;
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  for (const bool in_place : {false, true}) {
    TTTOOLINFOW tool = Tool(in_place);
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  SendMessageW(tooltip_, TTM_ACTIVATE, FALSE, 0);
}

// The status line as a tool, which the tooltip shows when the pointer rests on it; or the same
// reason as one the window shows where it places it.
TTTOOLINFOW StatusReason::Tool(bool in_place) {
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = in_place ? TTF_TRACK | TTF_ABSOLUTE : TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = in_place ? 1 : reinterpret_cast<UINT_PTR>(status_);
  tool.lpszText = shown_.data();
  return tool;
}

void StatusReason::ShowInPlace() {
  if (shown_.empty()) return;
  RECT line{};
  GetWindowRect(status_, &line);
  TTTOOLINFOW tool = Tool(true);
  SendMessageW(tooltip_, TTM_TRACKPOSITION, 0, MAKELPARAM(line.left, line.bottom));
  SendMessageW(tooltip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
  in_place_ = true;
}

void StatusReason::HideInPlace() {
  if (!in_place_) return;
  TTTOOLINFOW tool = Tool(true);
  SendMessageW(tooltip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
  in_place_ = false;
}

void StatusReason::LayOut(int width, UINT dpi) {
  width_ = width;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
  const HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
  if (font_ != nullptr) DeleteObject(font_);
  font_ = font;
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, width);
  Update();
}

void StatusReason::Set(std::wstring reason) {
  text_ = std::move(reason);
  Update();
  // Screen readers hear it as the status line's description.
  IAccPropServices* services = nullptr;
  if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IAccPropServices, reinterpret_cast<void**>(&services)))) {
    return;
  }
  if (text_.empty()) {
    MSAAPROPID description = PROPID_ACC_DESCRIPTION;
    services->ClearHwndProps(status_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &description,
                             1);
  } else {
    services->SetHwndPropStr(status_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                             PROPID_ACC_DESCRIPTION, text_.c_str());
  }
  services->Release();
}

void StatusReason::Update() {
  HideInPlace();
  shown_ = Wrapped(text_);
  for (const bool in_place : {false, true}) {
    TTTOOLINFOW tool = Tool(in_place);
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  SendMessageW(tooltip_, TTM_ACTIVATE, shown_.empty() ? FALSE : TRUE, 0);
}

std::wstring StatusReason::Wrapped(std::wstring_view reason) const {
  const HDC context = GetDC(tooltip_);
  const HGDIOBJ previous = SelectObject(context, font_);
  const auto fits = [&](const std::wstring& line) {
    SIZE extent{};
    GetTextExtentPoint32W(context, line.c_str(), static_cast<int>(line.size()), &extent);
    return extent.cx <= width_ - 16;  // inside the tooltip's border, with the slack
  };
  std::wstring lines;
  std::wstring line;
  for (std::size_t begin = 0; begin < reason.size();) {
    const std::size_t end = std::min(reason.find(L' ', begin), reason.size());
    const std::wstring word(reason.substr(begin, end - begin));
    if (!line.empty() && !fits(line + L' ' + word)) {
      lines += line + kSlack + L'\n';
      line.clear();
    }
    line += (line.empty() ? L"" : L" ") + word;
    begin = end + 1;
  }
  SelectObject(context, previous);
  ReleaseDC(tooltip_, context);
  return lines + line + kSlack;
}

}  // namespace nestmend
