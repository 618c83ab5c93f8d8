#include "user_prompts.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <algorithm>

namespace nestmend {

DialogPrompts::DialogPrompts() {
  for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null/nestmend"));
  }
  // The toolkit sets up a message box's style and fonts the first time one is made, some 10 ms
  // that the window would otherwise spend at the end of the first run, as it closes the run;
  // they are set up as soon as the window is idle instead.
  QTimer::singleShot(0, QCoreApplication::instance(), [] {
    QMessageBox box(QMessageBox::NoIcon, QString(), QStringLiteral("Nestmend"), QMessageBox::Ok);
    box.adjustSize();
  });
}

std::optional<QString> DialogPrompts::ChooseFileToOpen(QWidget* owner, const QString& current) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a name that does not exist is accepted too
  if (!current.isEmpty()) dialog.selectFile(current);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

void DialogPrompts::ShowMessage(QWidget* owner, const QString& title, const QString& text,
                                const QString& description) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.setAccessibleDescription(description);
  // A box modal to the window would swallow the window manager's close of the window. The
  // window's own controls are inert until the run ends, so only "Exit" and closing act.
  box.setWindowModality(Qt::NonModal);
  QEventLoop until_closed;
  QObject::connect(&box, &QDialog::finished, &until_closed, &QEventLoop::quit);
  open_box_ = &box;
  if (owner != nullptr) {
    // Below the window, where it leaves the summary on the status line in view (centred on so
    // small a window, it hid the window whole); above it where the screen ends first. Window
    // managers differ in whether a new window's position is that of its frame or of its inside,
    // so room is left for a frame like the window's own either way.
    constexpr int kGap = 8;
    box.adjustSize();
    const QRect window = owner->frameGeometry();
    const QRect inside = owner->geometry();
    const int frame_above = inside.top() - window.top();
    const int frame_height = window.height() - inside.height();
    const QRect screen = owner->screen()->availableGeometry();
    QPoint place(window.center().x() - box.width() / 2, window.bottom() + 1 + kGap + frame_above);
    if (place.y() + box.height() + frame_height > screen.bottom()) {
      place.setY(window.top() - kGap - box.height() - frame_height);
    }
    place.setX(std::clamp(place.x(), screen.left(),
                          std::max(screen.left(), screen.right() - box.width())));
    box.move(place);
  }
  box.show();
  box.activateWindow();
  until_closed.exec();
  open_box_ = nullptr;
}

void DialogPrompts::DismissMessage() {
  if (open_box_ != nullptr) open_box_->done(QMessageBox::Ok);
}

}  // namespace nestmend
