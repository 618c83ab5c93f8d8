#include "common_dialog.h"

#include "user_prompts.h"

namespace nestmend {

void CommonDialog::ShowOpen() {
  if (const std::optional<QString> chosen = prompts_.ChooseFileToOpen(owner_, file_name_)) {
    file_name_ = *chosen;
  }
}

}  // namespace nestmend
