// The file dialog control: remembers the file name it was last given or returned, and shows
// the file-open dialog on request.
#pragma once

#include <QString>

class QWidget;

namespace nestmend {

class UserPrompts;

class CommonDialog {
 public:
  CommonDialog(UserPrompts& prompts, QWidget* owner) : prompts_(prompts), owner_(owner) {}

  // Shows the modal file-open dialog with the current file name in it. FileName changes only
  // when the user confirms a choice; cancelling leaves it as it was.
  void ShowOpen();

  const QString& FileName() const { return file_name_; }
  void SetFileName(const QString& file_name) { file_name_ = file_name; }

 private:
  UserPrompts& prompts_;
  QWidget* owner_;
  QString file_name_;
};

}  // namespace nestmend
