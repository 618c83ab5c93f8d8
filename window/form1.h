// Nestmend's only window on Linux: the path box with its browse button, "Begin" and "Exit", the
// status line and the progress bar, drawn with Qt. What the window does lives in FormLogic; this
// class only draws it and forwards input.
#pragma once

#include <QWidget>
#include <memory>

#include "file_system.h"
#include "form_logic.h"
#include "progress_bar.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace nestmend {

class UserPrompts;

class Form1 final : public QWidget, private FormView {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(Form1)

 public:
  explicit Form1(UserPrompts& prompts, FileSystem& file_system = SystemFiles(),
                 QWidget* parent = nullptr);
  ~Form1() override;

  // The controls, named as in the window's layout.
  QGroupBox* const Frame1;
  QLineEdit* const FILE;
  QPushButton* const Command1;  // "..."
  QPushButton* const Command2;  // "Begin"
  QPushButton* const Command3;  // "Exit"
  QLabel* const STAT;
  ProgressBar* const Progress;

  FormLogic& logic() { return logic_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
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

  void Describe();
  QWidget* Widget(Control control) const;
  // Shift+F1, the desktop's "What's This?" key: the reason beside the status line, in place.
  void ShowReasonInPlace();
  // Gives the status line a font that shows the longest summary whole, whatever the style.
  void FitStatusLine();

  UserPrompts& prompts_;
  FormLogic logic_;
  bool fitting_ = false;
  // The path as last given in bytes (a drop, the form logic), and the text that showed it: as
  // long as the path box shows that text, the path is those bytes, whatever text they made.
  std::string given_path_;
  QString given_text_;
  // What a storage thread wakes; it outlives the window (see Waker).
  struct WakeTarget;
  std::shared_ptr<WakeTarget> wake_target_;
};

}  // namespace nestmend
