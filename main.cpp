// Shows the window and runs the event loop.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "exit_signals.h"
#include "form1.h"
#include "identity.h"
#include "user_prompts.h"

namespace {

// Until the toolkit is up, its own messages are held back: where it finds no display, the one
// a person needs is Nestmend's, not the toolkit's advice to reinstall it.
void BeforeTheToolkitIsUp(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtFatalMsg) return;
  std::fprintf(stderr, "%s\n", "Nestmend needs a graphical display, and none could be opened.");
  std::_Exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char* argv[]) {
  const QtMessageHandler toolkit_messages = qInstallMessageHandler(BeforeTheToolkitIsUp);
  QApplication application(argc, argv);
  qInstallMessageHandler(toolkit_messages);
  QApplication::setApplicationName(nestmend::kApplicationTitle);
  QApplication::setApplicationVersion(nestmend::kApplicationVersion);
  QApplication::setDesktopFileName("org.nestmend.Nestmend");
  nestmend::CatchExitSignals();
  nestmend::DialogPrompts prompts;
  nestmend::Form1 form(prompts);
  form.show();
  return QApplication::exec();
}
