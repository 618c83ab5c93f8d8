// The two places where Nestmend waits for a person: the file-open dialog and the closing
// message box. Tests put a scripted answerer here, so no modal dialog blocks them.
#pragma once

#include <QString>
#include <optional>

class QDialog;
class QWidget;

namespace nestmend {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // A modal file-open dialog listing all files, opened with `current` in its name field. It
  // accepts the name of a file that does not exist. Nothing when the user cancels.
  virtual std::optional<QString> ChooseFileToOpen(QWidget* owner, const QString& current) = 0;
  // A message box with `title`, no icon and a single OK button, over `owner`; returns when it
  // is closed. It does not block `owner`, so that "Exit" and closing the window still reach it.
  // Screen readers hear `description` with it.
  virtual void ShowMessage(QWidget* owner, const QString& title, const QString& text,
                           const QString& description) = 0;
  // Closes the message box that is showing, if any, as if OK had been pressed.
  virtual void DismissMessage() = 0;
};

// The real dialogs.
class DialogPrompts final : public UserPrompts {
 public:
  // Qt's file dialog keeps its last folder and history in settings of the toolkit's own, which
  // would outlive Nestmend; they are sent nowhere, as Nestmend writes nothing but the file.
  DialogPrompts();
  std::optional<QString> ChooseFileToOpen(QWidget* owner, const QString& current) override;
  void ShowMessage(QWidget* owner, const QString& title, const QString& text,
                   const QString& description) override;
  void DismissMessage() override;

 private:
  QDialog* open_box_ = nullptr;
};

}  // namespace nestmend
