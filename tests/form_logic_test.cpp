// What the window does, with no toolkit: the buttons, the path's way to the repair, the run and
// every way it can end, and the progress bar's numbers. A scripted view stands in for the window.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <filesystem>
#include <thread>

#include "fixit.h"
#include "form_logic.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::FixedSummary;
using testing::ReadAll;
using testing::TempDir;

const std::string kNothingDone(texts::kNothingDone);

// A window that records what it is shown and answers dialogs from a script.
class ScriptedView final : public FormView {
 public:
  std::string PathText() override { return path; }
  void SetPathText(std::string_view text) override { path = text; }
  void SetStatusText(std::string_view text) override { status = text; }
  void ShowProgress(float, float) override {}
  void ShowRunning(bool is_running) override { running.push_back(is_running); }
  void ProcessPendingEvents() override {
    if (on_events) on_events();
  }
  std::optional<std::string> ChooseFileToOpen(std::string_view current) override {
    offered.emplace_back(current);
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(std::string_view title, std::string_view text) override {
    messages.push_back(std::string(title) + ": " + std::string(text));
    if (while_message) while_message();
  }
  void DismissMessage() override { ++dismissed; }
  void CloseWindow() override { closed = true; }

  std::string path;
  std::string status = "Status: Waiting";
  std::vector<bool> running;
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> offered;
  std::vector<std::string> messages;
  std::function<void()> while_message;
  std::function<void()> on_events;  // what the person does while events are handled
  int dismissed = 0;
  bool closed = false;
};

TEST(FormLogic, BrowseShowsTheDialogsFileNameChosenOrNot) {
  TempDir dir;
  const std::string typed = dir.Write("typed", "balanced");
  ScriptedView view;
  FormLogic form(view, SystemFiles());
  view.path = "typed over";
  form.Command1_Click();  // cancelled before any choice
  EXPECT_EQ(view.path, "");
  view.answers.push_back("/chosen/file.txt");
  form.Command1_Click();
  EXPECT_EQ(view.path, "/chosen/file.txt");
  view.path = typed;
  form.Command2_Click();
  view.path = "changed since";
  form.Command1_Click();  // cancelled: the path of the last run
  EXPECT_EQ(view.path, typed);
  EXPECT_EQ(view.offered, (std::vector<std::string>{"", "", typed}));
  form.FileDropped("/home/someone/cut off.txt");
  EXPECT_EQ(view.path, "/home/someone/cut off.txt");
}

TEST(FormLogic, BeginRepairsTheTypedPathAndASecondRunAppendsNothing) {
  TempDir dir;
  const std::string path = dir.Write("data.txt", "root {\r\n  leaf {\r\n    a = 1,\r\n");
  const std::string repaired = "root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n";
  ScriptedView view;
  FormLogic form(view, SystemFiles());
  view.path = path;
  form.Command2_Click();
  EXPECT_EQ(view.status, FixedSummary(2));
  EXPECT_EQ(view.messages, std::vector<std::string>{"Nestmend: " + std::string(ClosingMessage())});
  EXPECT_EQ(ReadAll(path), repaired);
  EXPECT_EQ(form.Progress().Max(), 3.0f);
  EXPECT_EQ(form.Progress().Value(), 1.0f);
  EXPECT_EQ(view.running, (std::vector<bool>{true, false}));
  form.Command2_Click();
  EXPECT_EQ(view.status, kNothingDone);
  EXPECT_EQ(ReadAll(path), repaired);
  EXPECT_FALSE(view.closed);
}

TEST(FormLogic, ProgressRefusesSettingsOutOfRange) {
  struct Row {
    bool is_max;
    float setting;
    bool accepted;
  };
  for (const Row& row :
       {Row{true, 0, false}, Row{true, -1, false}, Row{true, std::nanf(""), false},
        Row{true, 10, true}, Row{false, 0, true}, Row{false, 50, true}, Row{false, 50.5f, false},
        Row{false, -0.5f, false}, Row{false, std::nanf(""), false}}) {
    ProgressModel bar;
    ASSERT_TRUE(bar.SetMax(50) && bar.SetValue(10));
    EXPECT_EQ(row.is_max ? bar.SetMax(row.setting) : bar.SetValue(row.setting), row.accepted);
    EXPECT_EQ(bar.Max(), row.is_max && row.accepted ? row.setting : 50.0f);
    EXPECT_EQ(bar.Value(), !row.is_max && row.accepted ? row.setting : 10.0f);
  }
  // A range below the value takes the value down with it: the bar shows the new run.
  ProgressModel bar;
  ASSERT_TRUE(bar.SetMax(50) && bar.SetValue(40) && bar.SetMax(8));
  EXPECT_EQ(bar.Value(), 8.0f);
}

// Input that arrives during a run (here from inside the file layer, as a pump would deliver it).
TEST(FormLogic, BeginBrowseAndDropAreInertDuringARun) {
  TempDir dir;
  const std::string path = dir.Write("large", std::string(3 << 20, '{'));
  ScriptedView view;
  FaultyFileSystem files;
  FormLogic form(view, files);
  files.after_read = [&](int read) {
    if (read != 1) return;
    EXPECT_TRUE(form.running());
    view.path = "typed during the run";
    form.Command2_Click();
    form.Command1_Click();
    form.FileDropped("/dropped");
  };
  view.path = path;
  form.Command2_Click();
  EXPECT_EQ(view.messages.size(), 1u);  // one run, not two
  EXPECT_TRUE(view.offered.empty());    // the dialog never opened
  EXPECT_EQ(view.path, "typed during the run");
  EXPECT_EQ(form.CommonDialog1.FileName, path);
  EXPECT_EQ(std::filesystem::file_size(path), std::uintmax_t{4 * (3 << 20)});
}

// "Exit", or the window's close, at every moment of a run: the run stops safely, then the
// window closes. Before the last write the file is as it was; after it, complete.
struct ExitRow {
  const char* name;
  enum { kScan, kBetweenWrites, kFlush, kMessage } moment;
  bool by_closing;  // the window's close rather than "Exit"
  bool repaired;
};

const ExitRow kExitRows[] = {
    {"ExitDuringTheScan", ExitRow::kScan, false, false},
    {"CloseDuringTheScan", ExitRow::kScan, true, false},
    {"ExitBetweenWrites", ExitRow::kBetweenWrites, false, false},
    {"ExitDuringTheFlush", ExitRow::kFlush, false, true},
    {"CloseDuringTheMessage", ExitRow::kMessage, true, true},
};

class ExitDuringARun : public ::testing::TestWithParam<ExitRow> {};

TEST_P(ExitDuringARun, StopsItSafelyAndThenCloses) {
  const ExitRow& row = GetParam();
  TempDir dir;
  const std::string original(3 << 20, '{');
  const std::string path = dir.Write("large", original);
  ScriptedView view;
  FaultyFileSystem files;
  FormLogic form(view, files);
  const auto leave = [&] {
    ASSERT_TRUE(form.running());
    if (row.by_closing) {
      EXPECT_FALSE(form.CloseRequested());  // not yet: the run must stop first
    } else {
      form.Command3_Click();
    }
    EXPECT_FALSE(view.closed);
  };
  if (row.moment == ExitRow::kScan)
    files.after_read = [&](int read) {
      if (read == 4) leave();
    };
  if (row.moment == ExitRow::kBetweenWrites)
    files.after_write = [&](int write) {
      if (write == 2) leave();
    };
  // The disk is waited for on another thread while the window handles its events.
  std::atomic<bool> syncing = false;
  if (row.moment == ExitRow::kFlush) {
    files.before_sync = [&] {
      syncing = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    view.on_events = [&] {
      if (syncing.exchange(false)) leave();
    };
  }
  if (row.moment == ExitRow::kMessage) view.while_message = leave;
  view.path = path;
  form.Command2_Click();
  EXPECT_TRUE(view.closed);
  EXPECT_EQ(view.messages.size(), row.moment == ExitRow::kMessage ? 1u : 0u);
  EXPECT_GT(view.dismissed, 0);
  EXPECT_EQ(std::filesystem::file_size(path), row.repaired ? 4 * original.size() : original.size());
  EXPECT_EQ(files.open_handles, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExitDuringARun, ::testing::ValuesIn(kExitRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FormLogic, ExitOrCloseWhenIdleClosesAtOnce) {
  ScriptedView view;
  FormLogic form(view, SystemFiles());
  EXPECT_TRUE(form.CloseRequested());
  EXPECT_FALSE(view.closed);  // the toolkit closes it; nothing else to do
  form.Command3_Click();
  EXPECT_TRUE(view.closed);
}

}  // namespace
}  // namespace nestmend
