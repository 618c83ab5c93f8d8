// The window as a person uses it, on Qt's offscreen platform.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <fstream>
#include <unistd.h>
#include <thread>

#include "fixit.h"
#include "form1.h"
#include "test_support.h"
#include "user_prompts.h"

namespace nestmend {
namespace {

// Answers the dialogs from a script: the next file name (or a cancel), and OK to every box.
class ScriptedPrompts final : public UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget*, const QString& current) override {
    offered.push_back(current);
    if (answers.empty()) return std::nullopt;
    const std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(QWidget*, const QString& title, const QString& text) override {
    titles.push_back(title);
    messages.push_back(text);
  }

  std::deque<std::optional<QString>> answers;
  QStringList offered;  // what the dialog was opened with
  QStringList titles;
  QStringList messages;
};

// Reads slowly, so that a small file keeps a run going long enough to act during it: a timer
// started before the run fires at the run's first pump that handles events.
class SlowFiles final : public testing::FaultyFileSystem {
 public:
  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return FaultyFileSystem::Read(handle, buffer);
  }
};

QString Fixed(int errors) {
  return QString::fromUtf8(std::string(texts::kFixedBefore) + std::to_string(errors) +
                           std::string(texts::kFixedAfter));
}

const QString kNothingDone = QString::fromUtf8(std::string(texts::kNothingDone));

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void opensAsLaidOut_data();
  void opensAsLaidOut();
  void startsIdleWithFocusInThePathBoxAndTabsInOrder();
  void progressRefusesSettingsOutOfRange_data();
  void progressRefusesSettingsOutOfRange();
  void progressRepaintsOnlyWhenTheBarChanges();
  void everyStatusTextFitsTheStatusLine();
  void browseFillsThePathBox();
  void repairsThroughTheButtons();
  void enterInThePathBoxBegins();
  void droppedFileFillsThePathBox();
  void buttonsDoNothingDuringARun();
  void exitDuringARunStopsItAndCloses();
  void thousandRepairsLeakNothing();
};

void WindowTest::opensAsLaidOut_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<QString>("text");
  // Twips divided by 15; the path box and browse button lie inside the frame.
  QTest::newRow("Frame1") << "Frame1" << QRect(1, 0, 299, 58) << "Filename";
  QTest::newRow("FILE") << "FILE" << QRect(2, 23, 255, 23) << "";
  QTest::newRow("Command1") << "Command1" << QRect(259, 23, 30, 25) << "...";
  QTest::newRow("Command2") << "Command2" << QRect(305, 7, 80, 22) << "Begin";
  QTest::newRow("Command3") << "Command3" << QRect(306, 36, 78, 20) << "Exit";
  QTest::newRow("STAT") << "STAT" << QRect(2, 61, 384, 23) << "Status: Waiting";
  QTest::newRow("Progress") << "Progress" << QRect(0, 79, 386, 19) << "";
}

void WindowTest::opensAsLaidOut() {
  QFETCH(QString, control);
  QFETCH(QRect, geometry);
  QFETCH(QString, text);
  ScriptedPrompts prompts;
  Form1 form(prompts);
  const std::map<QString, std::pair<QWidget*, QString>> controls = {
      {"Frame1", {form.Frame1, form.Frame1->title()}},
      {"FILE", {form.FILE, form.FILE->text()}},
      {"Command1", {form.Command1, form.Command1->text()}},
      {"Command2", {form.Command2, form.Command2->text()}},
      {"Command3", {form.Command3, form.Command3->text()}},
      {"STAT", {form.STAT, form.STAT->text()}},
      {"Progress", {form.Progress, QString()}}};
  const auto [widget, shown_text] = controls.at(control);
  QCOMPARE(widget->geometry(), geometry);
  QCOMPARE(shown_text, text);
  QCOMPARE(widget->font(), form.font());  // no control has a font of its own
  QCOMPARE(form.windowTitle(), QString("Nestmend"));
  QCOMPARE(form.size(), QSize(385, 98));
  QCOMPARE(form.minimumSize(), form.maximumSize());
}

void WindowTest::startsIdleWithFocusInThePathBoxAndTabsInOrder() {
  ScriptedPrompts prompts;
  Form1 form(prompts);
  form.show();
  QVERIFY(QTest::qWaitForWindowActive(&form));
  QCOMPARE(form.Progress->Max(), 100.0f);
  QCOMPARE(form.Progress->Value(), 0.0f);
  QCOMPARE(form.Progress->FilledPixels(), 0);
  QCOMPARE(form.CommonDialog1.FileName(), QString());
  QCOMPARE(QApplication::focusWidget(), form.FILE);
  for (QWidget* next : {static_cast<QWidget*>(form.Command1), static_cast<QWidget*>(form.Command2),
                        static_cast<QWidget*>(form.Command3), static_cast<QWidget*>(form.FILE)}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), next);
  }
}

void WindowTest::progressRefusesSettingsOutOfRange_data() {
  QTest::addColumn<bool>("is_max");  // which setting
  QTest::addColumn<float>("setting");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("max zero") << true << 0.0f << false;
  QTest::newRow("max negative") << true << -1.0f << false;
  QTest::newRow("max not a number") << true << std::nanf("") << false;
  QTest::newRow("max below the value") << true << 9.0f << false;
  QTest::newRow("max at the value") << true << 10.0f << true;
  QTest::newRow("max fraction above the value") << true << 10.5f << true;
  QTest::newRow("value zero") << false << 0.0f << true;
  QTest::newRow("value at max") << false << 50.0f << true;
  QTest::newRow("value above max") << false << 50.5f << false;
  QTest::newRow("value negative") << false << -0.5f << false;
  QTest::newRow("value not a number") << false << std::nanf("") << false;
}

void WindowTest::progressRefusesSettingsOutOfRange() {
  QFETCH(bool, is_max);
  QFETCH(float, setting);
  QFETCH(bool, accepted);
  ProgressBar bar;
  QVERIFY(bar.SetMax(50));
  QVERIFY(bar.SetValue(10));
  QCOMPARE(is_max ? bar.SetMax(setting) : bar.SetValue(setting), accepted);
  QCOMPARE(bar.Max(), is_max && accepted ? setting : 50.0f);
  QCOMPARE(bar.Value(), !is_max && accepted ? setting : 10.0f);
}

void WindowTest::progressRepaintsOnlyWhenTheBarChanges() {
  ProgressBar bar;
  bar.resize(386, 19);
  bar.show();
  QVERIFY(QTest::qWaitForWindowExposed(&bar));
  QCoreApplication::processEvents();
  const int before = bar.repaints();
  QVERIFY(bar.SetMax(1000000));
  for (int value = 0; value <= 10000; ++value) {  // about 3.9 pixels' worth
    QVERIFY(bar.SetValue(static_cast<float>(value)));
    QCoreApplication::processEvents();
  }
  QCOMPARE(bar.FilledPixels(), 3);
  QVERIFY2(bar.repaints() - before <= 4, qPrintable(QString::number(bar.repaints() - before)));
}

void WindowTest::everyStatusTextFitsTheStatusLine() {
  ScriptedPrompts prompts;
  Form1 form(prompts);
  // The line ends at the window's edge, and the bar covers its lowest pixels.
  const int visible_width = form.width() - form.STAT->x();
  const int visible_height = form.Progress->y() - form.STAT->y();
  const QFontMetrics metrics(form.STAT->font());
  QVERIFY(metrics.height() <= visible_height);
  for (const QString& text : {QString("Status: Waiting"), QString("Preparing To Fix"),
                              QString("Fixing File"), kNothingDone, Fixed(999999999)}) {
    QVERIFY2(metrics.horizontalAdvance(text) <= visible_width, qPrintable(text));
  }
}

void WindowTest::browseFillsThePathBox() {
  ScriptedPrompts prompts;
  Form1 form(prompts);
  // Cancelled before any choice: the box shows the dialog's empty name.
  form.FILE->setText("typed over");
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  QCOMPARE(form.FILE->text(), QString());
  // A choice fills the box.
  prompts.answers.push_back("/chosen/file.txt");
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  QCOMPARE(form.FILE->text(), QString("/chosen/file.txt"));
  // Typed, "Begin", then cancelled: the typed path comes back, and the dialog opened with it.
  testing::TempDir dir;
  const QString typed = QString::fromStdString(dir.Write("typed", "balanced"));
  form.FILE->setText(typed);
  QTest::mouseClick(form.Command2, Qt::LeftButton);
  form.FILE->setText("changed since");
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  QCOMPARE(form.FILE->text(), typed);
  QCOMPARE(prompts.offered, QStringList({"", "", typed}));
}

void WindowTest::repairsThroughTheButtons() {
  testing::TempDir dir;
  const std::string path = dir.Write("data.txt", "root {\r\n  leaf {\r\n    a = 1,\r\n");
  ScriptedPrompts prompts;
  prompts.answers.push_back(QString::fromStdString(path));
  Form1 form(prompts);
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  QTest::mouseClick(form.Command2, Qt::LeftButton);
  QCOMPARE(form.STAT->text(), Fixed(2));
  QCOMPARE(prompts.titles, QStringList({"Nestmend"}));
  QCOMPARE(prompts.messages.value(0).toStdString(), std::string(ClosingMessage()));
  QCOMPARE(testing::ReadAll(path), std::string("root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n"));
  QCOMPARE(form.Progress->Max(), 3.0f);
  QCOMPARE(form.Progress->Value(), 1.0f);
  QVERIFY(form.Command2->isEnabled());

  QTest::mouseClick(form.Command2, Qt::LeftButton);
  QCOMPARE(form.STAT->text(), kNothingDone);
  QCOMPARE(prompts.messages.size(), 2);
  QCOMPARE(testing::ReadAll(path), std::string("root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n"));
}

void WindowTest::enterInThePathBoxBegins() {
  testing::TempDir dir;
  const std::string path = dir.Write("typed", "x {");
  ScriptedPrompts prompts;
  Form1 form(prompts);
  form.show();
  QVERIFY(QTest::qWaitForWindowActive(&form));
  QTest::keyClicks(form.FILE, QString::fromStdString(path));
  QTest::keyClick(form.FILE, Qt::Key_Return);
  QCOMPARE(testing::ReadAll(path), std::string("x {}\r\n"));
  QCOMPARE(form.STAT->text(), Fixed(1));
}

void WindowTest::droppedFileFillsThePathBox() {
  ScriptedPrompts prompts;
  Form1 form(prompts);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile("/home/someone/cut off.txt")});
  const QPoint over_box = form.FILE->mapTo(&form, QPoint(5, 5));
  QDragEnterEvent enter(over_box, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  QVERIFY(enter.isAccepted());
  QDropEvent drop(over_box, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
  QCOMPARE(form.FILE->text(), QString("/home/someone/cut off.txt"));
}

void WindowTest::buttonsDoNothingDuringARun() {
  testing::TempDir dir;
  const std::string original(4 << 20, '{');
  const std::string path = dir.Write("large", original);
  const std::string other = dir.Write("other", "{");
  ScriptedPrompts prompts;
  prompts.answers.push_back(QString::fromStdString(other));
  SlowFiles files;
  Form1 form(prompts, files);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  form.FILE->setText(QString::fromStdString(path));
  bool acted_during_run = false;
  QTimer::singleShot(0, &form, [&] {
    acted_during_run = form.running();
    QVERIFY(!form.Command1->isEnabled() && !form.Command2->isEnabled());
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QTest::keyClick(form.FILE, Qt::Key_Return);
  });
  QTest::mouseClick(form.Command2, Qt::LeftButton);
  QVERIFY(acted_during_run);
  QCOMPARE(prompts.messages.size(), 1);         // one run, not two
  QCOMPARE(prompts.offered.size(), 0);          // the dialog never opened
  QCOMPARE(form.CommonDialog1.FileName().toStdString(), path);
  QCOMPARE(testing::ReadAll(other), std::string("{"));
  QCOMPARE(std::filesystem::file_size(path), original.size() * 4);  // "{" became "{" + "}\r\n"
  QVERIFY(form.Command1->isEnabled() && form.Command2->isEnabled());
}

void WindowTest::exitDuringARunStopsItAndCloses() {
  testing::TempDir dir;
  const std::string original(4 << 20, '{');
  const std::string path = dir.Write("large", original);
  ScriptedPrompts prompts;
  SlowFiles files;
  QPointer<Form1> form = new Form1(prompts, files);
  form->setAttribute(Qt::WA_DeleteOnClose);  // so a close that is accepted shows
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form));
  form->FILE->setText(QString::fromStdString(path));
  bool exited_during_run = false;
  QTimer::singleShot(0, form, [&] {
    exited_during_run = form->running();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
  });
  QTest::mouseClick(form->Command2, Qt::LeftButton);
  QVERIFY(exited_during_run);
  QTRY_VERIFY(form.isNull());
  QVERIFY(prompts.messages.isEmpty());
  QVERIFY(testing::ReadAll(path) == original);
  QCOMPARE(files.open_handles(), 0);
}

namespace {
int OpenDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator()));
}

long ResidentKiB() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
}  // namespace

void WindowTest::thousandRepairsLeakNothing() {
  testing::TempDir dir;
  const std::string good = dir.Write("good", "a {\r\nb {\r\n");
  const QStringList bad = {"", QString::fromStdString((dir.path() / "missing").string()),
                           QString::fromStdString(dir.path().string()), "/dev/zero"};
  ScriptedPrompts prompts;
  Form1 form(prompts);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  const auto repair = [&](int round) {
    if (round % 2 == 0) {
      testing::WriteAll(good, "a {\r\nb {\r\n");  // so every good run writes
      form.FILE->setText(QString::fromStdString(good));
    } else {
      form.FILE->setText(bad[(round / 2) % bad.size()]);
    }
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(form.STAT->text(), round % 2 == 0 ? Fixed(2) : kNothingDone);
  };
  for (int round = 0; round < 50; ++round) repair(round);  // caches filled, allocator settled
  prompts.messages.clear();
  const int descriptors = OpenDescriptors();
  const long resident = ResidentKiB();
  for (int round = 0; round < 1000; ++round) repair(round);
  QCOMPARE(prompts.messages.size(), 1000);
  QCOMPARE(OpenDescriptors(), descriptors);
#if defined(__SANITIZE_ADDRESS__)
  qInfo("memory growth not measured: the address sanitizer keeps freed memory in quarantine");
  static_cast<void>(resident);
#else
  QVERIFY2(ResidentKiB() - resident < 1024,
           qPrintable(QString("grew by %1 KiB").arg(ResidentKiB() - resident)));
#endif
}

}  // namespace nestmend

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  nestmend::WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
