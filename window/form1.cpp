#include "form1.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <QWhatsThis>
#include <mutex>

#include "exit_signals.h"
#include "identity.h"
#include "layout.h"
#include "user_prompts.h"

namespace nestmend {
namespace {

// The layout is given in twips; Qt works in device-independent pixels, 15 twips each, so a
// high-DPI screen scales the whole window.
QRect Pixels(layout::Twips place) {
  return {place.left / 15, place.top / 15, place.width / 15, place.height / 15};
}

template <typename Control>
Control* Place(Control* control, QRect geometry) {
  control->setGeometry(geometry);
  return control;
}

// The narrow faces, best first: the package depends on the first.
const QStringList kNarrowFamilies = {"Liberation Sans Narrow", "Nimbus Sans Narrow", "Arial Narrow",
                                     "DejaVu Sans Condensed"};
// The longest status text: a summary with the largest count a run can report.
const QString kLongestStatus = QString::fromStdString(LongestStatusText());
constexpr int kStatusWidth = 383;   // from the label's left edge to the window's
constexpr int kStatusHeight = 18;   // above the progress bar
constexpr int kLegiblePixels = 10;  // no smaller than this

// Typed or chosen text as a file name's bytes; marked as naming no file exactly when it holds
// what no name's bytes give back: an unpaired surrogate, a NUL, or the replacement character
// that stands for bytes that are not text.
std::string PathOfText(const QString& text) {
  const QByteArray bytes = QFile::encodeName(text);
  const bool exact = QFile::decodeName(bytes) == text && !text.contains(QChar(0)) &&
                     !text.contains(QChar(QChar::ReplacementCharacter));
  return exact ? bytes.toStdString() : kNotExactMark + bytes.toStdString();
}

QString Text(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

bool ShowsWhole(const QFont& font) {
  const QFontMetrics metrics(font);
  return metrics.horizontalAdvance(kLongestStatus) <= kStatusWidth &&
         metrics.height() <= kStatusHeight;
}

// A narrow face at the largest size, up to 12 pixels, that shows the longest status text whole.
QFont NarrowFont() {
  QFont font;
  font.setFamilies(kNarrowFamilies);
  for (int pixels = 12; pixels > kLegiblePixels; --pixels) {
    font.setPixelSize(pixels);
    if (ShowsWhole(font)) break;
  }
  if (!ShowsWhole(font)) font.setPixelSize(kLegiblePixels);
  return font;
}

}  // namespace

Form1::Form1(UserPrompts& prompts, FileSystem& file_system, QWidget* parent)
    : QWidget(parent),
      Frame1(Place(new QGroupBox("Filename", this), Pixels(layout::kFrame1))),
      FILE(Place(new QLineEdit(Frame1), Pixels(layout::kFILE))),
      Command1(Place(new QPushButton("...", Frame1), Pixels(layout::kCommand1))),
      Command2(Place(new QPushButton("Begin", this), Pixels(layout::kCommand2))),
      Command3(Place(new QPushButton("Exit", this), Pixels(layout::kCommand3))),
      STAT(Place(new QLabel("Status: Waiting", this), Pixels(layout::kSTAT))),
      Progress(Place(new ProgressBar(this), Pixels(layout::kProgress))),
      prompts_(prompts),
      logic_(*this, file_system),
      wake_target_(std::make_shared<WakeTarget>()) {
  setWindowTitle(kApplicationTitle);
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QString(":/icons/nestmend-%1.png").arg(size), QSize(size, size));
  }
  setWindowIcon(icon);
  setFont(NarrowFont());
  setFixedSize(layout::kClientWidth / 15, layout::kClientHeight / 15);
  setAcceptDrops(true);
  FILE->setAcceptDrops(false);  // a dropped file goes to the window, which takes its path
  STAT->setTextFormat(Qt::PlainText);
  STAT->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Command2->setDefault(true);
  // Enter presses a focused "..." or "Exit", as Space does.
  Command1->setAutoDefault(true);
  Command3->setAutoDefault(true);
  Describe();
  STAT->installEventFilter(this);
  FitStatusLine();

  setTabOrder(FILE, Command1);
  setTabOrder(Command1, Command2);
  setTabOrder(Command2, Command3);
  FILE->setFocus();

  connect(Command1, &QPushButton::clicked, this, [this] { logic_.Command1_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { logic_.Command2_Click(); });
  connect(Command3, &QPushButton::clicked, this, [this] { logic_.Command3_Click(); });
  // Enter in the path box presses "Begin", which does nothing during a run.
  connect(FILE, &QLineEdit::returnPressed, Command2, &QPushButton::click);
  connect(new QShortcut(QKeySequence::WhatsThis, this), &QShortcut::activated, this,
          [this] { ShowReasonInPlace(); });
  if (ExitSignalDescriptor() >= 0) {
    auto* exit_signal = new QSocketNotifier(ExitSignalDescriptor(), QSocketNotifier::Read, this);
    connect(exit_signal, &QSocketNotifier::activated, this, [this] {
      char drained[64];
      while (read(ExitSignalDescriptor(), drained, sizeof drained) > 0) {
      }
      logic_.RequestExit();
    });
  }
}

void Form1::Describe() {
  // What a screen reader says of each control: the "..." button is not "dot dot dot".
  Frame1->setAccessibleDescription("The file to repair");
  FILE->setAccessibleName("Path of the file to repair");
  FILE->setAccessibleDescription(
      "Type the path of the file to repair, or choose it with the next button");
  Command1->setAccessibleName("Choose the file");
  Command1->setAccessibleDescription("Choose the file to repair in a dialog");
  Command2->setAccessibleDescription("Start the repair");
  Command3->setAccessibleDescription("Close Nestmend");
  // The status line's name is its text, so that each change of it is announced.
  STAT->setAccessibleDescription("Status of the repair");
  Progress->setAccessibleName("Progress of the repair");
  Progress->setAccessibleDescription("Progress of the repair");
}

void Form1::FitStatusLine() {
  if (fitting_) return;
  fitting_ = true;
  STAT->setStyleSheet({});
  STAT->ensurePolished();
  // A style sheet of the user's may set a font that cuts the summary short: the status line
  // then takes a narrow face of its own, which only a style sheet of its own can give it.
  if (!ShowsWhole(STAT->font())) {
    const QFont narrow = NarrowFont();
    STAT->setStyleSheet(QString("font-family: \"%1\"; font-size: %2px; font-style: normal; "
                                "font-weight: normal;")
                            .arg(kNarrowFamilies.join("\", \""))
                            .arg(narrow.pixelSize()));
  }
  fitting_ = false;
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == STAT &&
      (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange)) {
    FitStatusLine();
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent* event) {
  // During a run the window closes for good once the run has returned, and the program ends
  // with it. (A window hidden now would no longer count as the last one closing, and the
  // program would go on without one.)
  if (logic_.CloseRequested()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && event->mimeData()->urls().constFirst().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void Form1::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty() || !urls.constFirst().isLocalFile()) return;
  const QUrl& url = urls.constFirst();
  // The name's own bytes, percent-encoded in the URL, even where they are not text.
  const bool here = url.host().isEmpty() || url.host() == QLatin1String("localhost");
  logic_.FileDropped(
      here ? QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString()
           : PathOfText(url.toLocalFile()));
  event->acceptProposedAction();
}

std::string Form1::PathText() {
  return FILE->text() == given_text_ ? given_path_ : PathOfText(FILE->text());
}

void Form1::SetPathText(std::string_view text) {
  const std::string_view bytes = text.starts_with(kNotExactMark) ? text.substr(1) : text;
  given_path_ = text;
  given_text_ = QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
  FILE->setText(given_text_);
}

void Form1::SetStatusText(std::string_view text) {
  // With no accessible name of its own, the label announces each new text as its name.
  STAT->setText(Text(text));
}

void Form1::SetStatusReason(std::string_view reason) {
  const QString text = Text(reason);
  STAT->setToolTip(text);
  STAT->setWhatsThis(text);
  STAT->setAccessibleDescription(text.isEmpty() ? QStringLiteral("Status of the repair") : text);
}

void Form1::ShowProgress(float value, float maximum) { Progress->SetPosition(value, maximum); }

QWidget* Form1::Widget(Control control) const {
  switch (control) {
    case Control::kPath:
      return FILE;
    case Control::kBrowse:
      return Command1;
    case Control::kBegin:
      return Command2;
    case Control::kExit:
      return Command3;
    case Control::kNone:
      break;
  }
  return nullptr;
}

Control Form1::FocusedControl() {
  for (const Control control : {Control::kPath, Control::kBrowse, Control::kBegin, Control::kExit}) {
    if (Widget(control)->hasFocus()) return control;
  }
  return Control::kNone;
}

void Form1::Focus(Control control) {
  if (QWidget* widget = Widget(control)) widget->setFocus();
}

void Form1::ShowRunning(bool running) {
  // Disabled rather than read-only: a screen reader hears a control become unavailable, and
  // never hears a text box become read-only.
  for (QWidget* control : {static_cast<QWidget*>(FILE), static_cast<QWidget*>(Command1),
                           static_cast<QWidget*>(Command2)}) {
    control->setEnabled(!running);
  }
}

void Form1::ShowReasonInPlace() {
  if (STAT->whatsThis().isEmpty()) return;
  QWhatsThis::showText(STAT->mapToGlobal(QPoint(0, STAT->height())), STAT->whatsThis(), STAT);
}

void Form1::ShowExitTaken() { Command3->setEnabled(false); }

void Form1::ProcessPendingEvents() { QCoreApplication::processEvents(); }

// The window thread's event dispatcher, for as long as the window lives: a call abandoned by
// the run may return, and wake it, after the window and the application have gone.
struct Form1::WakeTarget {
  std::mutex mutex;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
};

Form1::~Form1() {
  const std::lock_guard lock(wake_target_->mutex);
  wake_target_->dispatcher = nullptr;
}

void Form1::SleepHandlingEvents(std::chrono::milliseconds limit) {
  QTimer timer;  // ends the sleep when no event and no wake does
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  timer.start(limit);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

std::function<void()> Form1::Waker() {
  return [target = wake_target_] {
    const std::lock_guard lock(target->mutex);
    if (target->dispatcher != nullptr) target->dispatcher->wakeUp();
  };
}

std::optional<std::string> Form1::ChooseFileToOpen(std::string_view current) {
  const std::string_view bytes = current.starts_with(kNotExactMark) ? current.substr(1) : current;
  const std::optional<QString> chosen = prompts_.ChooseFileToOpen(
      this, QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))));
  if (!chosen) return std::nullopt;
  return PathOfText(*chosen);
}

void Form1::ShowMessage(std::string_view title, std::string_view text,
                        std::string_view description) {
  prompts_.ShowMessage(this, Text(title), Text(text), Text(description));
}

void Form1::DismissMessage() { prompts_.DismissMessage(); }

void Form1::CloseWindow() { close(); }

}  // namespace nestmend
