// The window as a person uses it, on Qt's offscreen platform: its layout, the buttons carrying
// the path to the repair, the bar, and every way a run can end.
#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cmath>
#include <thread>

#include "fixit.h"
#include "form1.h"
#include "storage_thread.h"
#include "test_support.h"
#include "user_prompts.h"

namespace nestmend {

// Answers the dialogs from a script, so that no dialog waits for a person: the next file name
// (or a cancel), and OK to every message box, after `while_message` if one is set.
class ScriptedPrompts final : public UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget*, const QString& current) override {
    offered.push_back(current);
    if (answers.empty()) return std::nullopt;  // cancelled
    return answers.takeFirst();
  }
  void ShowMessage(QWidget*, const QString& title, const QString& text, const QString&) override {
    messages.push_back(title + ": " + text);
    if (while_message) while_message();
  }
  void DismissMessage() override { ++dismissed; }

  QStringList answers;  // the next file names chosen
  QStringList offered;  // what the dialog was opened with
  QStringList messages;
  std::function<void()> while_message;
  int dismissed = 0;
};

using testing::Op;
}  // namespace nestmend
Q_DECLARE_METATYPE(nestmend::Op)
namespace nestmend {

QString Fixed(int errors) { return QString::fromStdString(testing::FixedSummary(errors)); }
QString Text(std::string_view text) { return QString::fromUtf8(text.data(), std::ssize(text)); }

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void opensAsLaidOutWithFocusInThePathBox() {
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Twips divided by 15; the path box and the browse button lie inside the frame.
    QCOMPARE(form.Command1->mapTo(&form, QPoint()), QPoint(260, 23));
    QCOMPARE(form.size(), QSize(385, 98));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    // Before any run a screen reader hears the bar at 0 of 100.
    QCOMPARE(QAccessible::queryAccessibleInterface(form.Progress)->valueInterface()->maximumValue(),
             QVariant(100.0f));
    QVERIFY(form.Command2->isDefault());
    QCOMPARE(form.windowIcon().availableSizes().size(), 7);
    QCOMPARE(QApplication::focusWidget(), form.FILE);
    for (QWidget* next :
         std::initializer_list<QWidget*>{form.Command1, form.Command2, form.Command3, form.FILE}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(form.Command1, Qt::Key_Return);  // Enter presses a focused "...", as Space
    QCOMPARE(prompts.offered.size(), 1);
  }

  // The whole longest summary at a legible size, with the window's own font and under a style
  // sheet that sets another, applied while the window is open (run again with only the fonts the
  // package depends on).
  void everyStatusTextFitsTheStatusLine_data() {
    QTest::addColumn<QString>("style_sheet");
    QTest::newRow("own font") << QString();
    QTest::newRow("style sheet") << QString("QWidget { font: 17px \"DejaVu Serif\"; }");
  }
  void everyStatusTextFitsTheStatusLine() {
    QFETCH(QString, style_sheet);
    ScriptedPrompts prompts;
    Form1 form(prompts);
    form.show();
    qApp->setStyleSheet(style_sheet);  // a style the user chooses while the window is open
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // The line ends at the window's edge, and the bar covers its lowest pixels.
    const QFontMetrics metrics(form.STAT->font());
    QVERIFY(metrics.height() <= form.Progress->y() - form.STAT->y());
    QVERIFY(QFontInfo(form.STAT->font()).pixelSize() >= 10);
    for (const QString& text :
         {QString("Status: Waiting"), Fixed(999999999), Text(texts::kNothingDone)}) {
      QVERIFY2(metrics.horizontalAdvance(text) <= form.width() - form.STAT->x(), qPrintable(text));
    }
    qApp->setStyleSheet({});
  }

  // "..." shows the dialog's file name, chosen or not; "Begin" and Enter repair the typed path,
  // and a second run appends nothing; "Exit" when idle closes.
  void theControlsCarryThePathToTheRepair() {
    testing::TempDir dir;
    const std::string path = dir.Write("data.txt", "root {\r\n  leaf {\r\n    a = 1,\r\n");
    const std::string repaired = "root {\r\n  leaf {\r\n    a = 1,\r\n}\r\n}\r\n";
    ScriptedPrompts prompts;
    testing::FaultyFileSystem files;
    QPointer<Form1> form = new Form1(prompts, files);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->FILE->setText("typed over");
    QTest::mouseClick(form->Command1, Qt::LeftButton);  // cancelled before any choice
    QCOMPARE(form->FILE->text(), QString());
    prompts.answers.push_back(QString::fromStdString(path));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QCOMPARE(form->STAT->text(), Fixed(2));
    const QString reason =
        "Added 2 lines \"}\" at the end of the file, and they are safely on the disk; the "
        "outermost block left open begins on line 1.";
    QCOMPARE(form->STAT->toolTip(), reason);
    QCOMPARE(form->STAT->accessibleDescription(), reason);
    QCOMPARE(prompts.messages, QStringList("Nestmend: " + Text(ClosingMessage())));
    QCOMPARE(testing::ReadAll(path), repaired);
    QCOMPARE(form->Progress->FilledPixels(), form->Progress->width() / 3);
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(form->Progress);
    QCOMPARE(bar->role(), QAccessible::ProgressBar);
    QCOMPARE(bar->valueInterface()->currentValue().toFloat(), 1.0f);
    QCOMPARE(bar->valueInterface()->maximumValue().toFloat(), 3.0f);
    form->FILE->setText("changed since");
    QTest::mouseClick(form->Command1, Qt::LeftButton);  // cancelled: the path of the last run
    QCOMPARE(form->FILE->text(), QString::fromStdString(path));
    QCOMPARE(prompts.offered, QStringList({"", "", QString::fromStdString(path)}));
    QString reason_during_the_run = "unseen";  // as the next run opens its file
    files.before = [&](Op op, int call) {
      if (op != Op::kOpenForReading || call != 2) return;
      QMetaObject::invokeMethod(
          form, [&] { reason_during_the_run = form->STAT->toolTip(); },
          Qt::BlockingQueuedConnection);
    };
    QTest::keyClick(form->FILE, Qt::Key_Return);
    QCOMPARE(reason_during_the_run, QString());
    QCOMPARE(form->STAT->text(), Text(texts::kNothingDone));
    QCOMPARE(form->STAT->toolTip(),
             QString("Nothing was missing: every \"{\" in the file has its \"}\"."));
    QCOMPARE(testing::ReadAll(path), repaired);

    QTest::mouseClick(form->Command3, Qt::LeftButton);
    QTRY_VERIFY(form.isNull());
  }

  // A dropped name, or one named as the program starts, keeps its own bytes, even where they are
  // not text; text that cannot name a file exactly is refused, opening nothing. Beside each lies
  // the decoy a lossy conversion of its text would name.
  void aPathReachesTheEngineExactlyOrNotAtAll() {
    testing::TempDir dir;
    const std::string dropped = dir.Write("x\xffy.txt", "c{{d");
    const std::string decoy = dir.Write("x\xef\xbf\xbdy.txt", "c{{d");
    const std::string surrogate_decoy = dir.Write("s\xef\xbf\xbd.txt", "{");
    ScriptedPrompts prompts;
    Form1 form(prompts);
    QMimeData data;
    data.setUrls(
        {QUrl::fromEncoded("file://" + QByteArray::fromStdString(dropped).toPercentEncoding("/"))});
    QDragEnterEvent enter({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QDropEvent drop({5, 30}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(testing::ReadAll(dropped), std::string("c{{d}\r\n}\r\n"));
    // Named as the program starts, by the same bytes: Enter repairs it, nothing before.
    testing::WriteAll(dropped, "c{{d");
    Form1 named(prompts);
    named.logic().FileNamed(dropped);
    named.show();
    QVERIFY(QTest::qWaitForWindowActive(&named));
    QCOMPARE(testing::ReadAll(dropped), std::string("c{{d"));
    QCOMPARE(QApplication::focusWidget(), named.Command2);
    QTest::keyClick(named.Command2, Qt::Key_Return);
    QCOMPARE(testing::ReadAll(dropped), std::string("c{{d}\r\n}\r\n"));
    const QString folder = QString::fromStdString(dir.path().string());
    for (const QString& typed :
         {folder + "/x" + QChar(0xFFFD) + "y.txt", folder + "/s" + QChar(0xD800) + ".txt"}) {
      Form1 typing(prompts);
      typing.FILE->setText(typed);
      QTest::mouseClick(typing.Command2, Qt::LeftButton);
      QCOMPARE(typing.STAT->text(), Text(texts::kNothingDone));
    }
    QCOMPARE(testing::ReadAll(decoy), std::string("c{{d"));
    QCOMPARE(testing::ReadAll(surrogate_decoy), std::string("{"));
  }

  // The real closing message opens below the window, takes the focus and carries the summary
  // and the reason for screen readers; closed with Enter or Escape, it gives the focus back to
  // the control that started the run: "Begin", or the path box.
  void theClosingMessageIsHeardAndGivesTheFocusBack() {
    testing::TempDir dir;
    const std::string path = dir.Write("data.txt", "{\r\n");
    DialogPrompts prompts;
    Form1 form(prompts);
    form.FILE->setText(QString::fromStdString(path));
    form.show();
    using Row = std::pair<QWidget*, Qt::Key>;
    for (const auto& [start, closing] :
         {Row{form.Command2, Qt::Key_Return}, Row{form.FILE, Qt::Key_Escape}}) {
      QString heard = "nothing";
      bool below = false;
      int ticks = 0;
      QTimer answer;  // as a person would, once the message has the focus
      connect(&answer, &QTimer::timeout, [&] {
        QWidget* focus = QApplication::focusWidget();
        auto* box = qobject_cast<QMessageBox*>(focus ? focus->window() : nullptr);
        if (box == nullptr && ++ticks > 1000) prompts.DismissMessage();  // never had the focus
        if (box == nullptr) return;
        heard = box->accessibleDescription();
        below = box->geometry().top() > form.frameGeometry().bottom();  // the summary in view
        QTest::keyClick(focus, closing);
      });
      answer.start(10);
      form.activateWindow();  // as the desktop does once the message has gone
      QVERIFY(QTest::qWaitForWindowActive(&form));
      start->setFocus();
      QTest::keyClick(start, Qt::Key_Return);
      QCOMPARE(heard, form.STAT->text() + " " + form.STAT->toolTip());
      QVERIFY(below);
      QCOMPARE(form.focusWidget(), start);  // the window's focus, once it is active again
    }
  }

  // A Max not above 0 and a Value outside 0 to Max are refused; a Max below the Value takes
  // the Value down with it, so the bar shows the new run.
  void progressRefusesSettingsOutOfRange() {
    ProgressModel bar;
    QVERIFY(bar.SetMax(50) && bar.SetValue(10));
    for (const float max : {0.0f, -1.0f, std::nanf("")}) QVERIFY(!bar.SetMax(max));
    for (const float value : {50.5f, -0.5f, std::nanf("")}) QVERIFY(!bar.SetValue(value));
    QCOMPARE(bar.Max(), 50.0f);
    QCOMPARE(bar.Value(), 10.0f);
    QVERIFY(bar.SetValue(0) && bar.SetValue(50) && bar.SetMax(8));
    QCOMPARE(bar.Value(), 8.0f);
  }

  // "Exit", or the window's close, at every moment of a run: the path box, "Begin", "..." and a
  // drop are inert, "Exit" shows it was taken, the run stops safely, and only then
  // does the window close. A read still out is abandoned: the window closes while the storage
  // keeps it. A write or the flush still out is waited for. Before the last write the file is as
  // it was; after it, complete. No file call is ever made on the window's thread.
  void exitDuringARunClosesOnceTheRunHasStopped_data() {
    QTest::addColumn<Op>("moment");  // the operation it comes before (kClose: the message)
    QTest::addColumn<int>("call");
    QTest::addColumn<bool>("by_closing");
    QTest::addColumn<bool>("repaired");
    QTest::newRow("exit during a stalled read") << Op::kRead << 4 << false << false;
    QTest::newRow("close during a stalled read") << Op::kRead << 4 << true << false;
    QTest::newRow("exit during a write") << Op::kWrite << 2 << false << false;
    QTest::newRow("exit during the flush") << Op::kSync << 0 << false << true;
    QTest::newRow("close during the message") << Op::kClose << -1 << true << true;
  }
  void exitDuringARunClosesOnceTheRunHasStopped() {
    QFETCH(Op, moment);
    QFETCH(int, call);
    QFETCH(bool, by_closing);
    QFETCH(bool, repaired);
    testing::TempDir dir;
    const std::string original(3 << 20, '{');
    const std::string path = dir.Write("large", original);
    ScriptedPrompts prompts;
    testing::FaultyFileSystem files;
    QPointer<Form1> form = new Form1(prompts, files);
    form->setAttribute(Qt::WA_DeleteOnClose);  // so that a close that is accepted shows
    form->show();
    form->FILE->setText(QString::fromStdString(path));
    bool stayed_open = false;
    bool exit_inert = false;
    std::atomic<bool> left = false;
    const auto leave = [&] {
      QVERIFY(!form->FILE->isEnabled() && form->logic().running());
      form->logic().FileDropped("/dropped");
      QTest::mouseClick(form->Command1, Qt::LeftButton);
      QTest::mouseClick(form->Command2, Qt::LeftButton);
      by_closing ? static_cast<void>(form->close())
                 : QTest::mouseClick(form->Command3, Qt::LeftButton);
      QCoreApplication::processEvents();
      stayed_open = !form.isNull() && form->isVisible();
      exit_inert = stayed_open && !form->Command3->isEnabled();
      left = true;
    };
    // The call waits on the storage thread while the window, waiting for it, takes the leave;
    // a read is held until long after, to show it is not waited for.
    files.before = [&](Op op, int now) {
      if (op != moment || now != call) return;
      QMetaObject::invokeMethod(form, leave, Qt::QueuedConnection);
      const auto hold = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(op == Op::kRead ? 1500 : 200);
      while (std::chrono::steady_clock::now() < hold && (op == Op::kRead || !left)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    if (moment == Op::kClose) prompts.while_message = leave;
    QElapsedTimer run;
    run.start();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QVERIFY(run.elapsed() < (moment == Op::kRead ? 1000 : 30000));
    QVERIFY(stayed_open && exit_inert);
    QTRY_VERIFY(form.isNull());
    QTRY_COMPARE(StorageThread::StillFinishing(), 0);
    QCOMPARE(prompts.messages.size(), moment == Op::kClose ? 1 : 0);
    QVERIFY(prompts.offered.isEmpty());  // the dialog never opened
    QVERIFY(prompts.dismissed > 0);
    QCOMPARE(std::filesystem::file_size(path), repaired ? 4 * original.size() : original.size());
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
