#include "form1_win32.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <cmath>
#include <cwchar>
#include <string>
#include <vector>

#include "closing_message_win32.h"
#include "exit_signals.h"
#include "identity.h"
#include "layout.h"
#include "utf16.h"

namespace nestmend {
namespace {

enum ControlId : int { kPathId = 101, kBrowseId, kBeginId, kExitId };
constexpr UINT_PTR kSignalTimer = 1;
constexpr wchar_t kClassName[] = L"Nestmend.Form1";

// The path box and the browse button are children of the window, not of the frame: placed from
// the client area's corner.
constexpr layout::Twips InFrame(layout::Twips place) {
  return {layout::kFrame1.left + place.left, layout::kFrame1.top + place.top, place.width,
          place.height};
}

// A dropped file's name, as exactly as it can be had. Under Wine, a Linux name that ends in dots
// or spaces arrives without them ("b.json." as "b.json": Wine's own conversion takes them off),
// so where the folder holds such a name beside the one given, the one given is not trusted:
// with no file of its own name, the one such file is meant; with more than one, or with a file
// of its own name too, the name is marked as naming no file exactly.
std::string DroppedPath(const std::wstring& path) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return Narrow(path);
  const std::wstring exact = L"\\\\?\\" + path;
  const std::size_t name_at = exact.find_last_of(L'\\') + 1;
  std::vector<std::wstring> longer;  // the name, then dots and spaces
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((exact + L"*").c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    const std::wstring_view name = found.cFileName;
    if (name.size() > exact.size() - name_at && name.starts_with(exact.substr(name_at)) &&
        name.find_first_not_of(L". ", exact.size() - name_at) == std::wstring_view::npos) {
      longer.emplace_back(name);
    }
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  if (longer.empty()) return Narrow(path);
  const bool own = GetFileAttributesW(exact.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (longer.size() == 1 && !own) return Narrow(path + longer.front().substr(exact.size() - name_at));
  return kNotExactMark + Narrow(path);
}

}  // namespace

Form1::Form1(FileSystem& file_system) : logic_(*this, file_system) {}

bool Form1::Show(int show_command) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kClassName;
  RegisterClassExW(&window_class);
  // A fixed frame: no sizing border and no maximise box.
  window_ = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES, kClassName,
                            Wide(kApplicationTitle).c_str(),
                            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                            CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  CreateControls();
  LayOut();
  ShowWindow(window_, show_command);
  UpdateWindow(window_);
  SetFocus(FILE);
  SetTimer(window_, kSignalTimer, 100, nullptr);
  return true;
}

void Form1::CreateControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto control = [&](const wchar_t* kind, const wchar_t* text, DWORD style, int id) {
    return CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, 0, 0, 0,
                           0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
  };
  // Creation order is the tab order; the frame goes to the bottom so it never covers the path
  // box, and the bar stays above the status line's lowest part, as laid out.
  FILE = control(WC_EDITW, L"", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, kPathId);
  Command1 = control(WC_BUTTONW, L"...", WS_TABSTOP | BS_PUSHBUTTON, kBrowseId);
  Command2 = control(WC_BUTTONW, L"Begin", WS_TABSTOP | BS_DEFPUSHBUTTON, kBeginId);
  Command3 = control(WC_BUTTONW, L"Exit", WS_TABSTOP | BS_PUSHBUTTON, kExitId);
  Progress = control(PROGRESS_CLASSW, L"", 0, 0);
  STAT = control(WC_STATICW, L"Status: Waiting", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0);
  Frame1 = control(WC_BUTTONW, L"Filename", BS_GROUPBOX, 0);
  SetWindowPos(Frame1, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  reason_.Create(window_, STAT);
}

void Form1::LayOut() {
  const UINT dpi = GetDpiForWindow(window_) != 0 ? GetDpiForWindow(window_) : 96;
  const auto pixels = [&](int twips) { return MulDiv(twips, static_cast<int>(dpi), 1440); };
  RECT frame{0, 0, pixels(layout::kClientWidth), pixels(layout::kClientHeight)};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)), dpi);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const auto& [control, place] : {std::pair{Frame1, layout::kFrame1},
                                       {FILE, InFrame(layout::kFILE)},
                                       {Command1, InFrame(layout::kCommand1)},
                                       {Command2, layout::kCommand2},
                                       {Command3, layout::kCommand3},
                                       {STAT, layout::kSTAT},
                                       {Progress, layout::kProgress}}) {
    SetWindowPos(control, nullptr, pixels(place.left), pixels(place.top), pixels(place.width),
                 pixels(place.height), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The system's message font, as large as it is but small enough for the longest summary
  // to show whole on the status line.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
  const std::wstring longest = Wide(LongestStatusText());
  const HDC context = GetDC(STAT);
  HFONT font = nullptr;
  for (LONG height = std::labs(metrics.lfMessageFont.lfHeight); height >= pixels(135); --height) {
    if (font != nullptr) DeleteObject(font);
    metrics.lfMessageFont.lfHeight = -height;
    font = CreateFontIndirectW(&metrics.lfMessageFont);
    const HGDIOBJ previous = SelectObject(context, font);
    SIZE extent{};
    GetTextExtentPoint32W(context, longest.c_str(), static_cast<int>(longest.size()), &extent);
    SelectObject(context, previous);
    if (extent.cx <= pixels(layout::kClientWidth - layout::kSTAT.left)) break;
  }
  ReleaseDC(STAT, context);
  reason_.LayOut(pixels(layout::kSTAT.width), dpi);
  for (const HWND control : {Frame1, FILE, Command1, Command2, Command3, STAT}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (font_ != nullptr) DeleteObject(font_);
  font_ = font;
  // One step of the bar per pixel of its width: it redraws only when the filled width changes.
  RECT bar{};
  GetClientRect(Progress, &bar);
  progress_pixels_ = std::max<int>(1, bar.right - bar.left);
  SendMessageW(Progress, PBM_SETRANGE32, 0, progress_pixels_);
  progress_filled_ = -1;
  ShowProgress(logic_.Progress().Value(), logic_.Progress().Max());
}

LRESULT CALLBACK Form1::WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr || form->window_ == nullptr) return DefWindowProcW(window, message, w, l);
  return form->Handle(message, w, l);
}

LRESULT Form1::Handle(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED) {
        switch (LOWORD(w)) {
          case kBrowseId:
            logic_.Command1_Click();
            return 0;
          case kBeginId:
          case IDOK:
            logic_.Command2_Click();
            return 0;
          case kExitId:
            logic_.Command3_Click();
            return 0;
          default:
            break;
        }
      }
      break;
    case DM_GETDEFID: {  // Enter presses the focused button, else "Begin"
      const HWND focused = GetFocus();
      const int id = focused == Command1 || focused == Command3 ? GetDlgCtrlID(focused) : kBeginId;
      return MAKELRESULT(id, DC_HASDEFID);
    }
    case kEnableAgain:
      EnableWindow(window_, TRUE);
      return 0;
    case WM_TIMER:
      if (w == kSignalTimer && ExitSignalled()) logic_.RequestExit();
      return 0;
    case WM_DROPFILES: {
      const auto drop = reinterpret_cast<HDROP>(w);
      std::wstring path(DragQueryFileW(drop, 0, nullptr, 0), L'\0');
      DragQueryFileW(drop, 0, path.data(), static_cast<UINT>(path.size() + 1));
      DragFinish(drop);
      logic_.FileDropped(DroppedPath(path.c_str()));
      return 0;
    }
    case WM_QUERYENDSESSION:
      // Logging off: a run stops at its next safe point and then the program ends.
      logic_.RequestExit();
      return logic_.running() ? FALSE : TRUE;
    case WM_CLOSE:
      if (logic_.CloseRequested()) DestroyWindow(window_);
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(l);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      LayOut();
      return 0;
    }
    case WM_DESTROY:
      KillTimer(window_, kSignalTimer);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      window_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(window_, message, w, l);
}

void Form1::Dispatch(MSG& message) {
  if (message.message == WM_KEYDOWN || message.message == WM_LBUTTONDOWN) reason_.HideInPlace();
  if (message.message == WM_KEYDOWN && message.wParam == VK_F1 && GetKeyState(VK_SHIFT) < 0 &&
      window_ != nullptr && IsChild(window_, message.hwnd)) {
    reason_.ShowInPlace();  // Shift+F1, the desktop's "What's This?" key
    return;
  }
  if (window_ != nullptr && IsDialogMessageW(window_, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

int Form1::RunEventLoop() {
  MSG message{};
  while (!quit_seen_ && GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(message);
  // The window is gone: one more look at the queue has the display take it away now, not when
  // the process has ended (which can wait for a file call the storage holds up).
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
  if (font_ != nullptr) DeleteObject(font_);
  return 0;
}

std::string Form1::PathText() {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(FILE)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(FILE, text.data(), static_cast<int>(text.size()))));
  return text == given_text_ ? given_path_ : Narrow(text);
}

void Form1::SetPathText(std::string_view text) {
  given_path_ = text;
  given_text_ = Wide(text);
  SetWindowTextW(FILE, given_text_.c_str());
}

void Form1::SetStatusText(std::string_view text) { SetWindowTextW(STAT, Wide(text).c_str()); }

void Form1::SetStatusReason(std::string_view reason) { reason_.Set(Wide(reason)); }

void Form1::ShowProgress(float value, float maximum) {
  const int filled =
      static_cast<int>(std::floor(static_cast<double>(value) / maximum * progress_pixels_));
  if (filled == progress_filled_) return;
  progress_filled_ = filled;
  SendMessageW(Progress, PBM_SETPOS, static_cast<WPARAM>(filled), 0);
}

HWND Form1::Window(Control control) const {
  switch (control) {
    case Control::kPath:
      return FILE;
    case Control::kBrowse:
      return Command1;
    case Control::kBegin:
      return Command2;
    case Control::kExit:
      return Command3;
    case Control::kNone:
      break;
  }
  return nullptr;
}

Control Form1::FocusedControl() {
  const HWND focused = GetFocus();
  for (const Control control : {Control::kPath, Control::kBrowse, Control::kBegin, Control::kExit}) {
    if (focused != nullptr && Window(control) == focused) return control;
  }
  return Control::kNone;
}

void Form1::Focus(Control control) {
  if (const HWND target = Window(control)) SetFocus(target);
}

void Form1::ShowRunning(bool running) {
  const bool focus_disabled = running && GetFocus() != nullptr && GetFocus() != Command3;
  for (const HWND control : {FILE, Command1, Command2}) EnableWindow(control, !running);
  // The system leaves the focus on a control it disables: it goes to "Exit", as in Qt.
  if (focus_disabled) SetFocus(Command3);
}

void Form1::ShowExitTaken() { EnableWindow(Command3, FALSE); }

void Form1::ProcessPendingEvents() {
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit_seen_ = true;
      continue;
    }
    Dispatch(message);
  }
}

void Form1::SleepHandlingEvents(std::chrono::milliseconds limit) {
  if (MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(limit.count()),
                                QS_ALLINPUT) == WAIT_OBJECT_0) {
    ProcessPendingEvents();
  }
}

std::function<void()> Form1::Waker() {
  // A message that means nothing ends the sleep; once the window has gone, it goes nowhere.
  return [window = window_] { PostMessageW(window, WM_NULL, 0, 0); };
}

std::optional<std::string> Form1::ChooseFileToOpen(std::string_view current) {
  // All files, "All files" the one entry of its list of types; no title, no default extension
  // or folder, nothing that would refuse a name that does not exist. No "Open as read-only" box,
  // which would change nothing, and the choice is not added to the recent documents: Nestmend
  // writes nothing but the file it repairs.
  for (const std::wstring& start : {Wide(current), std::wstring()}) {
    std::wstring name = start;
    name.resize(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = L"All files\0*.*\0";
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_DONTADDTORECENT;
    if (GetOpenFileNameW(&dialog)) return Narrow(name.c_str());
    // A name the dialog refuses to start with: it opens empty instead of not at all.
    if (CommDlgExtendedError() != FNERR_INVALIDFILENAME) return std::nullopt;
  }
  return std::nullopt;
}

void Form1::ShowMessage(std::string_view title, std::string_view text,
                        std::string_view description) {
  ShowClosingMessage(window_, Wide(title), Wide(text), Wide(description));
}

void Form1::DismissMessage() { DismissClosingMessage(window_); }

void Form1::CloseWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}

}  // namespace nestmend
