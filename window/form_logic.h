// What Nestmend's window does, whatever toolkit draws it: the three buttons, the path on its way
// from the path box through CommonDialog1's FileName to the repair, the run and how it ends, and
// the repair surface with the progress bar's range and its refusals. A view (Qt on Linux, Win32
// on Windows) draws it and forwards input; no behaviour lives in a view.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "file_system.h"
#include "read_plan.h"
#include "repair_surface.h"

namespace nestmend {

// The longest text the status line must show whole, for a view to choose its font.
std::string LongestStatusText();

// A path travels from a view to the engine without any lossy conversion. Text that cannot name
// a file exactly (an unpaired surrogate, a name shown with replacement characters for bytes that
// are not text) travels as a path that begins with this mark: the engine refuses it, opening
// nothing, and a view shows the rest of it.
inline constexpr char kNotExactMark = '\0';

// The controls that take the keyboard focus, as the form logic names them.
enum class Control { kNone, kPath, kBrowse, kBegin, kExit };

// The face of the window, as the form logic drives it. Texts are UTF-8; a path is in the form
// the engine opens it by (UTF-8 on Windows, the file name's own bytes on Linux), or marked as
// naming no file exactly.
class FormView {
 public:
  virtual ~FormView() = default;

  virtual std::string PathText() = 0;  // FILE's Text
  virtual void SetPathText(std::string_view text) = 0;
  virtual void SetStatusText(std::string_view text) = 0;  // STAT's Caption
  // Why the last run ended as it did, beside the status line (a tooltip, and a description for
  // screen readers), without changing its look; empty while a run is under way.
  virtual void SetStatusReason(std::string_view reason) = 0;
  // Progress's range and position changed; the view redraws when its filled width changes.
  virtual void ShowProgress(float value, float maximum) = 0;
  // The control that has the keyboard focus (kNone: none of the window's, or the window is
  // not active), and giving it to one.
  virtual Control FocusedControl() = 0;
  virtual void Focus(Control control) = 0;
  // During a run "...", "Begin" and the path box are disabled (the box still shows the file
  // being repaired); a screen reader hears each change.
  virtual void ShowRunning(bool running) = 0;
  // "Exit" was taken during a run that must first finish a write: "Exit" is inert until the
  // window closes.
  virtual void ShowExitTaken() = 0;
  // Handles every pending event (paint, input) and returns.
  virtual void ProcessPendingEvents() = 0;
  // Sleeps for at most `limit`, handling events as they arrive, and returns sooner once the
  // function Waker gives has been called, from any thread, also after the view has gone.
  virtual void SleepHandlingEvents(std::chrono::milliseconds limit) = 0;
  virtual std::function<void()> Waker() = 0;
  // The modal file-open dialog: all files, opened with `current` in its name field, accepting a
  // name that does not exist. Nothing when the user cancels.
  virtual std::optional<std::string> ChooseFileToOpen(std::string_view current) = 0;
  // A message box titled `title`, no icon, one OK button; returns when it is closed. Screen
  // readers hear `description` with it (the run's summary and reason: the box's own words do not
  // say how the run ended). It leaves "Exit" and the window's close reachable, so that they can
  // end a run that shows it.
  virtual void ShowMessage(std::string_view title, std::string_view text,
                           std::string_view description) = 0;
  // Closes the message box that is showing, if any, as OK would.
  virtual void DismissMessage() = 0;
  // Closes the window for good, which ends the program.
  virtual void CloseWindow() = 0;
};

// The progress bar's numbers: Min 0, a single-precision Max and Value. A Max not above Min and a
// Value outside Min to Max are refused and change nothing; a Max below the Value takes the Value
// down with it, so the bar always shows the current run.
class ProgressModel {
 public:
  float Min() const { return 0; }
  float Max() const { return max_; }
  float Value() const { return value_; }
  bool SetMax(float max);
  bool SetValue(float value);

 private:
  float max_ = 100;
  float value_ = 0;
};

// The file dialog control: the file name it was last given or returned, and the dialog itself.
class CommonDialog {
 public:
  explicit CommonDialog(FormView& view) : view_(view) {}
  // Shows the file-open dialog with FileName in it; FileName changes only when the user
  // confirms a choice.
  void ShowOpen();
  std::string FileName;

 private:
  FormView& view_;
};

class FormLogic final : public RepairSurface {
 public:
  FormLogic(FormView& view, FileSystem& file_system);
  FormLogic(const FormLogic&) = delete;
  FormLogic& operator=(const FormLogic&) = delete;

  // "...": the file-open dialog, then the path box shows CommonDialog1's FileName, chosen or
  // not (a cancel shows the name it had).
  void Command1_Click();
  // "Begin": the path box's text, unchanged, becomes FileName, and the repair runs. Then the
  // control that started it has the focus again: "Begin", or the path box where Enter was
  // pressed (not "Exit", where the focus goes while the others are disabled).
  void Command2_Click();
  // "Exit".
  void Command3_Click() { RequestExit(); }
  // A file dropped onto the window fills the path box.
  void FileDropped(std::string_view path);
  // A file named as the program starts (a file manager's "Open With", the command line) fills
  // the path box, and Enter repairs it: nothing starts by itself.
  void FileNamed(std::string_view path);
  // The window manager asks to close the window: true when it may close now. During a run it
  // closes once the run has stopped safely.
  bool CloseRequested();
  // "Exit", a close, or a signal to end: the window closes at once when idle; during a run, once
  // the run has stopped (at its next pump, or when its closing message is dismissed). A read
  // that is out then is abandoned; a write, a flush or a cut-back is waited for first, while the
  // window goes on answering.
  void RequestExit();

  bool running() const { return running_; }
  const ProgressModel& Progress() const { return progress_; }
  CommonDialog CommonDialog1;
  ReadPlan read_plan;  // how a run reads the file: every core by default

  // While a run reads and scans, events are handled at most this often: a few times per frame.
  // While it waits for the storage, they are handled as they arrive.
  static constexpr std::chrono::milliseconds kPumpInterval{5};

  // The repair surface.
  void SetStatus(std::string_view caption) override;
  void SetProgressMax(float maximum) override;
  void SetProgressValue(float value) override;
  std::string RepairPath() override { return CommonDialog1.FileName; }
  bool PumpEvents() override;
  void ShowMessage(std::string_view text) override;
  void SetReason(std::string_view reason) override;
  StorageThread::Waiting StorageWaiting() override;
  bool PumpEventsRepeatedly(std::uint64_t count) override;
  bool ScanProgress(const ScanBatch& batch) override;
  void AppendProgress(std::uint64_t first_line, std::uint64_t count) override;

 private:
  bool ExitRequested() const;
  void ShowProgress() { view_.ShowProgress(progress_.Value(), progress_.Max()); }

  FormView& view_;
  FileSystem& file_system_;
  ProgressModel progress_;
  std::string status_;  // as shown, for the closing message's description
  std::string reason_;
  std::chrono::steady_clock::time_point last_pump_;
  bool running_ = false;
  bool exit_requested_ = false;
};

}  // namespace nestmend
