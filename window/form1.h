// Nestmend's only window: the path box with its browse button, "Begin" and "Exit", the status
// line and the progress bar. It is the surface a repair drives.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include "common_dialog.h"
#include "file_system.h"
#include "progress_bar.h"
#include "repair_surface.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace nestmend {

class UserPrompts;

class Form1 final : public QWidget, public RepairSurface {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(Form1)

 public:
  explicit Form1(UserPrompts& prompts, FileSystem& file_system = SystemFiles(),
                 QWidget* parent = nullptr);

  // The controls, named as in the window's layout.
  QGroupBox* const Frame1;
  QLineEdit* const FILE;
  QPushButton* const Command1;  // "..."
  QPushButton* const Command2;  // "Begin"
  QPushButton* const Command3;  // "Exit"
  QLabel* const STAT;
  ProgressBar* const Progress;
  CommonDialog CommonDialog1;

  void Command1_Click();
  void Command2_Click();
  void Command3_Click();

  // "Exit", closing the window, or a signal to end: at once when idle; during a run, once the
  // run has stopped safely (at its next pump, or when its closing message is dismissed).
  void RequestExit();

  // Runs one repair of CommonDialog1's file name; returns after the closing message.
  void Fixit();
  bool running() const { return running_; }

  // How often a run lets the window handle its events, at the most.
  static constexpr int kPumpIntervalMs = 10;

  // The repair surface.
  void SetStatus(std::string_view caption) override;
  void SetProgressMax(float maximum) override;
  void SetProgressValue(float value) override;
  std::string RepairPath() override;
  bool PumpEvents() override;
  void ShowMessage(std::string_view text) override;
  bool PumpEventsRepeatedly(std::uint64_t count) override;
  bool ScanProgress(const ScanBatch& batch) override;
  void AppendProgress(std::uint64_t first_line, std::uint64_t count) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void SetRunning(bool running);
  bool ExitRequested() const;

  UserPrompts& prompts_;
  FileSystem& file_system_;
  QElapsedTimer since_pump_;
  bool running_ = false;
  bool exit_requested_ = false;
};

}  // namespace nestmend
