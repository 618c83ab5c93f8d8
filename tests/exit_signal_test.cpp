// A signal to end (TERM, HUP, INT, QUIT) reaches the window at a chosen moment of a repair, in a
// child process of its own: the run stops at its next safe point, the file ends as it was or
// completely repaired, and then the program ends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <csignal>

#include "exit_signals.h"
#include "form1.h"
#include "scripted_prompts.h"
#include "test_support.h"

namespace nestmend {
namespace {

enum class Moment {
  kIdle,
  kBeforeTheFirstWrite,
  kBetweenWrites,
  kDuringTheFlush,
  kDuringTheMessage
};

struct SignalRow {
  const char* name;
  Moment moment;
  int signal_number;
  bool repaired;  // else the file is as it was
  int messages;
};

const SignalRow kSignalRows[] = {
    {"IdleTerm", Moment::kIdle, SIGTERM, false, 0},
    {"BeforeTheFirstWriteHup", Moment::kBeforeTheFirstWrite, SIGHUP, false, 0},
    {"BetweenWritesTerm", Moment::kBetweenWrites, SIGTERM, false, 0},
    {"BetweenWritesInt", Moment::kBetweenWrites, SIGINT, false, 0},
    {"DuringTheFlushQuit", Moment::kDuringTheFlush, SIGQUIT, true, 0},
    {"DuringTheMessageTerm", Moment::kDuringTheMessage, SIGTERM, true, 1},
};

// 100,000 "{": the lines go out in several writes.
const std::string kOriginal(100000, '{');

// The child: a window that repairs `path` and gets the signal at the row's moment. Exits with
// the number of closing messages shown, plus 8 when the window did not close.
[[noreturn]] void RunWindow(const SignalRow& row, const std::string& path) {
  int argc = 1;
  char name[] = "exit_signal_test";
  char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  CatchExitSignals();
  testing::ScriptedPrompts prompts;
  testing::FaultyFileSystem files;
  const auto send = [&] { std::raise(row.signal_number); };
  switch (row.moment) {
    case Moment::kIdle:
      break;
    case Moment::kBeforeTheFirstWrite:
      files.before_append = send;
      break;
    case Moment::kBetweenWrites:
      files.after_write = [&](int write) {
        if (write == 0) send();
      };
      break;
    case Moment::kDuringTheFlush:
      files.before_sync = send;
      break;
    case Moment::kDuringTheMessage:
      prompts.while_message = send;
      break;
  }
  QPointer<Form1> form = new Form1(prompts, files);
  form->setAttribute(Qt::WA_DeleteOnClose);
  form->show();
  form->FILE->setText(QString::fromStdString(path));
  if (row.moment == Moment::kIdle) {
    send();
  } else {
    form->Command2->click();
  }
  for (QDeadlineTimer deadline(5000); !form.isNull() && !deadline.hasExpired();) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  std::_Exit(static_cast<int>(prompts.messages.size()) + (form.isNull() ? 0 : 8));
}

class ExitSignals : public ::testing::TestWithParam<SignalRow> {};

TEST_P(ExitSignals, StopTheRunSafelyAndEndTheProgram) {
  const SignalRow& row = GetParam();
  testing::TempDir dir;
  const std::string path = dir.Write("file", kOriginal);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) RunWindow(row, path);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the program was killed instead of ending";
  EXPECT_EQ(WEXITSTATUS(status), row.messages) << "8 and up: the window did not close";
  EXPECT_TRUE(testing::ReadAll(path) == kOriginal + (row.repaired ? testing::Lines(100000) : ""));
}

INSTANTIATE_TEST_SUITE_P(Rows, ExitSignals, ::testing::ValuesIn(kSignalRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace nestmend
