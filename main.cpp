// Shows the window and runs the event loop.
#include <QApplication>

#include "exit_signals.h"
#include "form1.h"
#include "identity.h"
#include "user_prompts.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(nestmend::kApplicationTitle);
  QApplication::setApplicationVersion(nestmend::kApplicationVersion);
  QApplication::setDesktopFileName("org.nestmend.Nestmend");
  nestmend::CatchExitSignals();
  nestmend::DialogPrompts prompts;
  nestmend::Form1 form(prompts);
  form.show();
  return QApplication::exec();
}
