#include "form_logic.h"

#include <algorithm>

#include "exit_signals.h"
#include "fixit.h"
#include "identity.h"
#include "storage_thread.h"

namespace nestmend {

std::string LongestStatusText() {
  // The summary with the largest count a run can report.
  return std::string(texts::kFixedBefore) + "9999999999" + std::string(texts::kFixedAfter);
}

bool ProgressModel::SetMax(float max) {
  if (!(max > Min())) return false;  // NaN is refused too
  max_ = max;
  value_ = std::min(value_, max_);
  return true;
}

bool ProgressModel::SetValue(float value) {
  if (!(value >= Min() && value <= max_)) return false;
  value_ = value;
  return true;
}

void CommonDialog::ShowOpen() {
  if (std::optional<std::string> chosen = view_.ChooseFileToOpen(FileName)) {
    FileName = std::move(*chosen);
  }
}

FormLogic::FormLogic(FormView& view, FileSystem& file_system)
    : CommonDialog1(view), view_(view), file_system_(file_system) {
  // The window's thread never waits for the storage: a run makes its file calls elsewhere.
  ForbidFileCallsOnThisThread();
}

void FormLogic::Command1_Click() {
  if (running_) return;
  CommonDialog1.ShowOpen();
  view_.SetPathText(CommonDialog1.FileName);
}

void FormLogic::Command2_Click() {
  // A second run inside the first, or a new path under it, would append to the wrong file.
  if (running_) return;
  CommonDialog1.FileName = view_.PathText();
  const Control started_from = view_.FocusedControl();
  running_ = true;
  view_.ShowRunning(true);
  view_.SetStatusReason({});  // the last run's reason does not describe this one
  last_pump_ = std::chrono::steady_clock::now();
  Fixit(*this, file_system_, read_plan);
  running_ = false;
  view_.ShowRunning(false);
  if (ExitRequested()) return RequestExit();
  if (started_from != Control::kNone) view_.Focus(started_from);
}

void FormLogic::FileDropped(std::string_view path) {
  if (!running_) view_.SetPathText(path);
}

void FormLogic::FileNamed(std::string_view path) {
  view_.SetPathText(path);
  view_.Focus(Control::kBegin);
}

bool FormLogic::CloseRequested() {
  if (!running_) return true;
  RequestExit();
  return false;
}

void FormLogic::RequestExit() {
  exit_requested_ = true;
  if (!running_) {
    view_.CloseWindow();
    return;
  }
  // A run stops at its next pump; one that shows its closing message stops when it goes.
  view_.ShowExitTaken();
  view_.DismissMessage();
}

bool FormLogic::ExitRequested() const { return exit_requested_ || ExitSignalled(); }

void FormLogic::SetStatus(std::string_view caption) {
  status_ = caption;
  view_.SetStatusText(caption);
}

void FormLogic::SetReason(std::string_view reason) {
  reason_ = reason;
  view_.SetStatusReason(reason);
}

void FormLogic::SetProgressMax(float maximum) {
  if (progress_.SetMax(maximum)) ShowProgress();
}

void FormLogic::SetProgressValue(float value) {
  if (progress_.SetValue(value)) ShowProgress();
}

bool FormLogic::PumpEvents() {
  // Handling events costs microseconds and a repaint far more: a few times per frame is
  // enough for a smooth bar and a window that answers at once.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_pump_ >= kPumpInterval) {
    view_.ProcessPendingEvents();
    last_pump_ = now;
  }
  return !ExitRequested();
}

StorageThread::Waiting FormLogic::StorageWaiting() {
  // Waiting for the storage, the window answers each event as it comes rather than at its
  // next turn.
  return {.turn = {},
          .sleep = [this](std::chrono::milliseconds limit) { view_.SleepHandlingEvents(limit); },
          .wake = view_.Waker()};
}

void FormLogic::ShowMessage(std::string_view text) {
  if (ExitRequested()) return;
  // The box takes the toolkit some milliseconds to make: what waits is handled first.
  view_.ProcessPendingEvents();
  view_.ShowMessage(kApplicationTitle, text, status_ + " " + reason_);
}

bool FormLogic::PumpEventsRepeatedly(std::uint64_t) { return PumpEvents(); }

bool FormLogic::ScanProgress(const ScanBatch& batch) {
  if (batch.last_value) SetProgressValue(static_cast<float>(*batch.last_value));
  return PumpEvents();
}

void FormLogic::AppendProgress(std::uint64_t first_line, std::uint64_t count) {
  if (count > 0) SetProgressValue(static_cast<float>(first_line + count - 1));
}

}  // namespace nestmend
