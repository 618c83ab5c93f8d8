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
#include <thread>

#include "fixit.h"
#include "form1.h"
#include "test_support.h"
#include "scripted_prompts.h"

namespace nestmend {
namespace {

using testing::ScriptedPrompts;

// Reads slowly, so a small file keeps a run going long enough to act during it: a timer started
// before the run fires at the run's first pump that handles events.
class SlowFiles final : public testing::FaultyFileSystem {
 public:
  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return FaultyFileSystem::Read(handle, buffer);
  }
};

QString Fixed(int errors) { return QString::fromStdString(testing::FixedSummary(errors)); }
const QString kNothingDone = QString::fromUtf8(std::string(texts::kNothingDone));

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

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void opensAsLaidOutWithFocusInThePathBox() {
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Twips divided by 15; the path box and the browse button lie inside the frame.
    const std::vector<std::tuple<QWidget*, QRect, QString>> controls = {
        {form.Frame1, {1, 0, 299, 58}, form.Frame1->title()},
        {form.FILE, {2, 23, 255, 23}, form.FILE->text()},
        {form.Command1, {259, 23, 30, 25}, form.Command1->text()},
        {form.Command2, {305, 7, 80, 22}, form.Command2->text()},
        {form.Command3, {306, 36, 78, 20}, form.Command3->text()},
        {form.STAT, {2, 61, 384, 23}, form.STAT->text()},
        {form.Progress, {0, 79, 386, 19}, ""}};
    const QStringList texts = {"Filename", "", "...", "Begin", "Exit", "Status: Waiting", ""};
    for (std::size_t index = 0; index < controls.size(); ++index) {
      const auto& [widget, geometry, text] = controls[index];
      QCOMPARE(widget->geometry(), geometry);
      QCOMPARE(text, texts[static_cast<qsizetype>(index)]);
      QCOMPARE(widget->font(), form.font());  // no control has a font of its own
    }
    QCOMPARE(form.windowTitle(), QString("Nestmend"));
    QCOMPARE(form.size(), QSize(385, 98));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.Progress->Max(), 100.0f);
    QCOMPARE(form.Progress->FilledPixels(), 0);
    QCOMPARE(QApplication::focusWidget(), form.FILE);
    for (QWidget* next : std::initializer_list<QWidget*>{form.Command1, form.Command2,
                                                         form.Command3, form.FILE}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
  }

  void progressRefusesSettingsOutOfRange() {
    struct Row { bool is_max; float setting; bool accepted; };
    for (const Row& row : {Row{true, 0, false}, Row{true, -1, false}, Row{true, std::nanf(""), false},
                           Row{true, 10, true}, Row{false, 0, true},
                           Row{false, 50, true}, Row{false, 50.5f, false}, Row{false, -0.5f, false},
                           Row{false, std::nanf(""), false}}) {
      ProgressBar bar;
      QVERIFY(bar.SetMax(50) && bar.SetValue(10));
      QCOMPARE(row.is_max ? bar.SetMax(row.setting) : bar.SetValue(row.setting), row.accepted);
      QCOMPARE(bar.Max(), row.is_max && row.accepted ? row.setting : 50.0f);
      QCOMPARE(bar.Value(), !row.is_max && row.accepted ? row.setting : 10.0f);
    }
    // A range below the value takes the value down with it: the bar shows the new run.
    ProgressBar bar;
    QVERIFY(bar.SetMax(50) && bar.SetValue(40) && bar.SetMax(8));
    QCOMPARE(bar.Value(), 8.0f);
  }

  void progressRepaintsOnlyWhenTheBarChanges() {
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

  void everyStatusTextFitsTheStatusLine() {
    ScriptedPrompts prompts;
    Form1 form(prompts);
    // The line ends at the window's edge, and the bar covers its lowest pixels.
    const QFontMetrics metrics(form.STAT->font());
    QVERIFY(metrics.height() <= form.Progress->y() - form.STAT->y());
    for (const QString& text : {QString("Status: Waiting"), kNothingDone, Fixed(999999999)}) {
      QVERIFY2(metrics.horizontalAdvance(text) <= form.width() - form.STAT->x(), qPrintable(text));
    }
  }

  void browseFillsThePathBox() {
    testing::TempDir dir;
    const QString typed = QString::fromStdString(dir.Write("typed", "balanced"));
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.FILE->setText("typed over");
    QTest::mouseClick(form.Command1, Qt::LeftButton);  // cancelled before any choice
    QCOMPARE(form.FILE->text(), QString());
    prompts.answers.push_back("/chosen/file.txt");
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QCOMPARE(form.FILE->text(), QString("/chosen/file.txt"));
    form.FILE->setText(typed);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    form.FILE->setText("changed since");
    QTest::mouseClick(form.Command1, Qt::LeftButton);  // cancelled: the path of the last run
    QCOMPARE(form.FILE->text(), typed);
    QCOMPARE(prompts.offered, QStringList({"", "", typed}));
  }

  void repairsThroughTheButtonsAndEnter() {
    testing::TempDir dir;
    const std::string path = dir.Write("data.txt", "root {\r\n  leaf {\r\n    a = 1,\r\n");
    const std::string repaired = "root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n";
    ScriptedPrompts prompts;
    prompts.answers.push_back(QString::fromStdString(path));
    Form1 form(prompts);
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(form.STAT->text(), Fixed(2));
    QCOMPARE(prompts.messages, QStringList("Nestmend: " + QString::fromUtf8(ClosingMessage().data())));
    QCOMPARE(testing::ReadAll(path), repaired);
    QCOMPARE(form.Progress->Max(), 3.0f);
    QCOMPARE(form.Progress->Value(), 1.0f);
    QTest::mouseClick(form.Command2, Qt::LeftButton);  // again: nothing is missing now
    QCOMPARE(form.STAT->text(), kNothingDone);
    QCOMPARE(testing::ReadAll(path), repaired);

    const std::string typed = dir.Write("typed", "x {");
    form.FILE->clear();
    QTest::keyClicks(form.FILE, QString::fromStdString(typed));
    QTest::keyClick(form.FILE, Qt::Key_Return);
    QCOMPARE(testing::ReadAll(typed), std::string("x {}\r\n"));
    QCOMPARE(prompts.messages.size(), 3);
  }

  void droppedFileFillsThePathBox() {
    ScriptedPrompts prompts;
    Form1 form(prompts);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile("/home/someone/cut off.txt")});
    QDragEnterEvent enter({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    QCOMPARE(form.FILE->text(), QString("/home/someone/cut off.txt"));
  }

  void buttonsDoNothingDuringARun() {
    testing::TempDir dir;
    const std::string path = dir.Write("large", std::string(4 << 20, '{'));
    const std::string other = dir.Write("other", "{");
    ScriptedPrompts prompts;
    prompts.answers.push_back(QString::fromStdString(other));
    SlowFiles files;
    Form1 form(prompts, files);
    form.FILE->setText(QString::fromStdString(path));
    bool acted_during_run = false;
    QTimer::singleShot(0, &form, [&] {
      acted_during_run = form.running() && !form.Command1->isEnabled() &&
                         !form.Command2->isEnabled() && form.FILE->isReadOnly();
      QTest::keyClicks(form.FILE, "typed during the run");
      QTest::mouseClick(form.Command2, Qt::LeftButton);
      QTest::mouseClick(form.Command1, Qt::LeftButton);
      QTest::keyClick(form.FILE, Qt::Key_Return);
    });
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QVERIFY(acted_during_run);
    QCOMPARE(prompts.messages.size(), 1);  // one run, not two
    QVERIFY(prompts.offered.isEmpty());    // the dialog never opened
    QCOMPARE(testing::ReadAll(other), std::string("{"));
    QCOMPARE(std::filesystem::file_size(path), std::uintmax_t{4 * (4 << 20)});
    QCOMPARE(form.FILE->text(), QString::fromStdString(path));
    QVERIFY(form.Command1->isEnabled() && form.Command2->isEnabled() && !form.FILE->isReadOnly());
  }

  void exitDuringARunStopsItAndCloses() {
    testing::TempDir dir;
    const std::string original(4 << 20, '{');
    const std::string path = dir.Write("large", original);
    ScriptedPrompts prompts;
    SlowFiles files;
    QPointer<Form1> form = new Form1(prompts, files);
    form->setAttribute(Qt::WA_DeleteOnClose);  // so that a close that is accepted shows
    form->show();
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
    QCOMPARE(files.open_handles, 0);
  }

  // "Exit" while the lines are flushed, or the window closed while the closing message shows:
  // the run ends complete, and then the program.
  void exitDuringTheFlushOrTheMessageIsNotForgotten_data() {
    QTest::addColumn<bool>("during_flush");
    QTest::newRow("flush") << true;
    QTest::newRow("message") << false;
  }
  void exitDuringTheFlushOrTheMessageIsNotForgotten() {
    QFETCH(bool, during_flush);
    testing::TempDir dir;
    const std::string path = dir.Write("file", "a {\r\n");
    ScriptedPrompts prompts;
    testing::FaultyFileSystem files;
    QPointer<Form1> form = new Form1(prompts, files);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    form->FILE->setText(QString::fromStdString(path));
    const auto leave = [&] {
      QVERIFY(!form.isNull() && form->running());
      during_flush ? QTest::mouseClick(form->Command3, Qt::LeftButton) : void(form->close());
    };
    if (during_flush) files.before_sync = leave;
    prompts.while_message = leave;
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QTRY_VERIFY(form.isNull());
    QCOMPARE(prompts.messages.size(), during_flush ? 0 : 1);
    QVERIFY(prompts.dismissed || during_flush);
    QCOMPARE(testing::ReadAll(path), std::string("a {\r\n}\r\n"));
  }

  void thousandRepairsLeakNothing() {
    testing::TempDir dir;
    const std::string good = (dir.path() / "good").string();
    const QStringList bad = {"", QString::fromStdString((dir.path() / "missing").string()),
                             QString::fromStdString(dir.path().string()), "/dev/zero"};
    ScriptedPrompts prompts;
    Form1 form(prompts);
    const auto repair = [&](int round) {
      testing::WriteAll(good, "a {\r\nb {\r\n");  // so that every good run writes
      form.FILE->setText(round % 2 ? bad[(round / 2) % bad.size()] : QString::fromStdString(good));
      QTest::mouseClick(form.Command2, Qt::LeftButton);
      QCOMPARE(form.STAT->text(), round % 2 ? kNothingDone : Fixed(2));
    };
    for (int round = 0; round < 50; ++round) repair(round);  // caches filled, allocator settled
    const int descriptors = OpenDescriptors();
    const long resident = ResidentKiB();
    for (int round = 0; round < 1000; ++round) repair(round);
    QCOMPARE(prompts.messages.size(), 1050);
    QCOMPARE(OpenDescriptors(), descriptors);
#if defined(__SANITIZE_ADDRESS__)
    qInfo("memory growth not measured: the address sanitizer keeps freed memory in quarantine");
#else
    QVERIFY2(ResidentKiB() - resident < 1024, qPrintable(QString::number(ResidentKiB() - resident)));
#endif
    static_cast<void>(resident);
  }
};

}  // namespace nestmend

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  nestmend::WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
