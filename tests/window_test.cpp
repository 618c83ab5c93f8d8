// The window as a person uses it, on Qt's offscreen platform.
#include <QAccessible>
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
#include "scripted_prompts.h"
#include "test_support.h"
#include "user_prompts.h"

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
    QCOMPARE(form.logic().Progress().Max(), 100.0f);
    QCOMPARE(form.Progress->FilledPixels(), 0);
    QVERIFY(form.Command2->isDefault());
    QCOMPARE(QApplication::focusWidget(), form.FILE);
    for (QWidget* next :
         std::initializer_list<QWidget*>{form.Command1, form.Command2, form.Command3, form.FILE}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
  }

  // A repaint for each pixel the filled width grows, at most one a frame, the last one shown.
  void progressRepaintsOnlyWhenTheBarChanges() {
    ProgressBar bar;
    bar.resize(386, 19);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QCoreApplication::processEvents();
    const int before = bar.repaints();
    for (int value = 0; value <= 10000; ++value) {  // about 3.9 pixels' worth
      bar.SetPosition(static_cast<float>(value), 1000000);
      QCoreApplication::processEvents();
    }
    QCOMPARE(bar.FilledPixels(), 3);
    QTRY_VERIFY(bar.repaints() > before);  // the last change is drawn, a frame later at most
    QTest::qWait(40);
    QVERIFY2(bar.repaints() - before <= 3, qPrintable(QString::number(bar.repaints() - before)));
  }

  // The whole longest summary at a legible size, with the window's own font and under a user's
  // style sheet that sets another (run again with only the fonts the package depends on).
  void everyStatusTextFitsTheStatusLine_data() {
    QTest::addColumn<QString>("style_sheet");
    QTest::newRow("own font") << QString();
    QTest::newRow("style sheet") << QString("QWidget { font: 17px \"DejaVu Serif\"; }");
  }
  void everyStatusTextFitsTheStatusLine() {
    QFETCH(QString, style_sheet);
    qApp->setStyleSheet(style_sheet);
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // The line ends at the window's edge, and the bar covers its lowest pixels.
    const QFontMetrics metrics(form.STAT->font());
    QVERIFY(metrics.height() <= form.Progress->y() - form.STAT->y());
    QVERIFY2(QFontInfo(form.STAT->font()).pixelSize() >= 10,
             qPrintable(form.STAT->font().toString()));
    for (const QString& text : {QString("Status: Waiting"), kNothingDone, Fixed(999999999)}) {
      QVERIFY2(metrics.horizontalAdvance(text) <= form.width() - form.STAT->x(), qPrintable(text));
    }
    if (!style_sheet.isEmpty()) QCOMPARE(QFontInfo(form.Command2->font()).pixelSize(), 17);
    qApp->setStyleSheet({});
  }

  // What a screen reader finds: every control named and described, the bar a progress bar with
  // its value and range, the status line named by its text.
  void screenReadersFindEveryControl() {
    testing::TempDir dir;
    const std::string path = dir.Write("data.txt", "a {\r\nb {\r\n");
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.show();
    form.FILE->setText(QString::fromStdString(path));
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    // A label without a name of its own announces each new text as its name (offscreen Qt has
    // no screen reader to receive the event itself).
    QVERIFY(form.STAT->accessibleName().isEmpty());

    struct Expected {
      QWidget* control;
      QAccessible::Role role;
      QString name;
      QString description;
    };
    for (const Expected& expected :
         {Expected{form.FILE, QAccessible::EditableText, "Path of the file to repair", ""},
          Expected{form.Command1, QAccessible::Button, "Choose the file", ""},
          Expected{form.Command2, QAccessible::Button, "Begin", "Start the repair"},
          Expected{form.Command3, QAccessible::Button, "Exit", "Close Nestmend"},
          Expected{form.STAT, QAccessible::StaticText, Fixed(2), "Status of the repair"},
          Expected{form.Progress, QAccessible::ProgressBar, "Progress of the repair", ""}}) {
      QAccessibleInterface* control = QAccessible::queryAccessibleInterface(expected.control);
      QVERIFY(control != nullptr);
      QVERIFY(QAccessible::queryAccessibleInterface(&form)->indexOfChild(control) >= 0 ||
              QAccessible::queryAccessibleInterface(form.Frame1)->indexOfChild(control) >= 0);
      QCOMPARE(control->role(), expected.role);
      QCOMPARE(control->text(QAccessible::Name), expected.name);
      QVERIFY(!control->text(QAccessible::Description).isEmpty());
      if (!expected.description.isEmpty()) {
        QCOMPARE(control->text(QAccessible::Description), expected.description);
      }
    }
    // The run ends with Value 1 of Max 3.
    QAccessibleValueInterface* bar =
        QAccessible::queryAccessibleInterface(form.Progress)->valueInterface();
    QVERIFY(bar != nullptr);
    QCOMPARE(bar->currentValue().toFloat(), 1.0f);
    QCOMPARE(bar->maximumValue().toFloat(), 3.0f);
  }

  // The controls reach the form logic: browse, Begin, Enter, a drop; and the bar follows.
  void repairsThroughTheControls() {
    testing::TempDir dir;
    const std::string path = dir.Write("data.txt", "root {\r\n  leaf {\r\n    a = 1,\r\n");
    ScriptedPrompts prompts;
    prompts.answers.push_back(QString::fromStdString(path));
    Form1 form(prompts);
    form.resize(form.size());
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QCOMPARE(form.FILE->text(), QString::fromStdString(path));
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(form.STAT->text(), Fixed(2));
    QCOMPARE(prompts.messages,
             QStringList("Nestmend: " + QString::fromUtf8(ClosingMessage().data())));
    QCOMPARE(testing::ReadAll(path), std::string("root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n"));
    QCOMPARE(form.Progress->FilledPixels(), form.Progress->width() / 3);  // Value 1 of Max 3

    const std::string typed = dir.Write("typed", "x {");
    form.FILE->clear();
    QTest::keyClicks(form.FILE, QString::fromStdString(typed));
    QTest::keyClick(form.FILE, Qt::Key_Return);
    QCOMPARE(testing::ReadAll(typed), std::string("x {}\r\n"));

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile("/home/someone/cut off.txt")});
    QDragEnterEvent enter({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    QCOMPARE(form.FILE->text(), QString("/home/someone/cut off.txt"));
  }

  // During a run the path box is read-only and "Exit" waits for the run to stop: the window
  // stays until the run has returned, then closes, and the file is as it was.
  void exitDuringARunClosesOnceTheRunHasStopped() {
    testing::TempDir dir;
    const std::string original(4 << 20, '{');
    const std::string path = dir.Write("large", original);
    ScriptedPrompts prompts;
    SlowFiles files;
    QPointer<Form1> form = new Form1(prompts, files);
    form->setAttribute(Qt::WA_DeleteOnClose);  // so that a close that is accepted shows
    form->show();
    form->FILE->setText(QString::fromStdString(path));
    bool stayed_open = false;
    QTimer::singleShot(0, form, [&] {
      QVERIFY(form->logic().running() && form->FILE->isReadOnly() && !form->Command2->isEnabled());
      QTest::keyClicks(form->FILE, "typed during the run");
      QTest::mouseClick(form->Command3, Qt::LeftButton);
      form->close();
      QCoreApplication::processEvents();
      stayed_open = !form.isNull() && form->isVisible();
    });
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QVERIFY(stayed_open);
    QTRY_VERIFY(form.isNull());
    QVERIFY(prompts.messages.isEmpty());
    QVERIFY(testing::ReadAll(path) == original);
    QCOMPARE(files.open_handles, 0);
  }

  // The real closing message leaves the window reachable, and goes when dismissed.
  void closingMessageIsNotModalAndCanBeDismissed() {
    DialogPrompts prompts;
    QWidget owner;
    owner.show();
    bool modal = true;
    QTimer::singleShot(0, &owner, [&] {
      modal = QApplication::activeModalWidget() != nullptr;
      prompts.DismissMessage();
    });
    prompts.ShowMessage(&owner, "Nestmend", "text");
    QVERIFY(!modal);
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
    QVERIFY2(ResidentKiB() - resident < 1024,
             qPrintable(QString::number(ResidentKiB() - resident)));
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
