// Nestmend's only window on Windows, built from the system's own controls. What the window does
// lives in FormLogic; this class only draws it and forwards input.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <string>

#include "form_logic.h"
#include "status_reason_win32.h"

namespace nestmend {

class Form1 final : private FormView {
 public:
  explicit Form1(FileSystem& file_system = SystemFiles());
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Creates and shows the window; false when the system refused.
  bool Show(int show_command);
  // Runs the event loop until the window is gone; returns the program's exit code.
  int RunEventLoop();
  FormLogic& logic() { return logic_; }

 private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT Handle(UINT message, WPARAM w, LPARAM l);
  void CreateControls();
  void LayOut();
  // Handles one message as the window's keyboard rules want (Tab, Enter for the focused button
  // or "Begin", Shift+F1 for the status line's reason).
  void Dispatch(MSG& message);
  HWND Window(Control control) const;

  // The face FormLogic drives.
  std::string PathText() override;
  void SetPathText(std::string_view text) override;
  void SetStatusText(std::string_view text) override;
  void SetStatusReason(std::string_view reason) override;
  void ShowProgress(float value, float maximum) override;
  Control FocusedControl() override;
  void Focus(Control control) override;
  void ShowRunning(bool running) override;
  void ShowExitTaken() override;
  void ProcessPendingEvents() override;
  void SleepHandlingEvents(std::chrono::milliseconds limit) override;
  std::function<void()> Waker() override;
  std::optional<std::string> ChooseFileToOpen(std::string_view current) override;
  void ShowMessage(std::string_view title, std::string_view text,
                   std::string_view description) override;
  void DismissMessage() override;
  void CloseWindow() override;

  FormLogic logic_;
  HWND window_ = nullptr;
  // The controls, named as in the window's layout.
  HWND Frame1 = nullptr;
  HWND FILE = nullptr;
  HWND Command1 = nullptr;  // "..."
  HWND Command2 = nullptr;  // "Begin"
  HWND Command3 = nullptr;  // "Exit"
  HWND STAT = nullptr;
  HWND Progress = nullptr;
  StatusReason reason_;
  // The path as last given (a drop, the dialog, the command line, the form logic), and the text
  // that showed it: as long as the path box shows that text, the path is the one given.
  std::string given_path_;
  std::wstring given_text_;
  HFONT font_ = nullptr;
  int progress_pixels_ = 1;  // the bar's integer range: one step per pixel of its width
  int progress_filled_ = 0;  // what the bar shows now
  bool quit_seen_ = false;   // a WM_QUIT taken out of the queue by a pump inside a run
};

}  // namespace nestmend
