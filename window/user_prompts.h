// The two places where Nestmend waits for a person: the file-open dialog and the closing
// message box. Tests put a scripted answerer here, so no modal dialog blocks them.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace nestmend {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // A modal file-open dialog listing all files, opened with `current` in its name field. It
  // accepts the name of a file that does not exist. Nothing when the user cancels.
  virtual std::optional<QString> ChooseFileToOpen(QWidget* owner, const QString& current) = 0;
  // A modal message box with `title`, no icon and a single OK button.
  virtual void ShowMessage(QWidget* owner, const QString& title, const QString& text) = 0;
};

// The real dialogs.
class DialogPrompts final : public UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget* owner, const QString& current) override;
  void ShowMessage(QWidget* owner, const QString& title, const QString& text) override;
};

}  // namespace nestmend
