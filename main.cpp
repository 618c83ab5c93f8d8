// Starts Nestmend: shows the window and runs its event loop, or, asked on the command line to
// check or repair files, does that with no window and no display.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command_line.h"
#include "exit_signals.h"
#include "form1.h"
#include "identity.h"
#include "terminal_run.h"
#include "user_prompts.h"

namespace {

// Until the toolkit is up, its own messages are held back: where it finds no display, the one
// a person needs is Nestmend's, not the toolkit's advice to reinstall it.
void BeforeTheToolkitIsUp(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtFatalMsg) return;
  std::fputs(
      "Nestmend needs a graphical display, and none could be opened.\n"
      "Without one, nestmend --check FILE... and nestmend --repair FILE... work in a terminal.\n",
      stderr);
  std::_Exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char* argv[]) {
  using Action = nestmend::CommandLine::Action;
  const nestmend::CommandLine command = nestmend::ParseCommandLine({argv + 1, argv + argc});
  switch (command.action) {
    case Action::kHelp:
      std::fputs(nestmend::Usage().data(), stdout);
      return EXIT_SUCCESS;
    case Action::kVersion:
      std::printf("%s %s\n", nestmend::kApplicationTitle, nestmend::kApplicationVersion);
      return EXIT_SUCCESS;
    case Action::kUsageError:
      std::fprintf(stderr, "nestmend: %s\n\n%s", command.error.c_str(), nestmend::Usage().data());
      return 2;
    case Action::kCheck:
    case Action::kRepair:
      return nestmend::RunInTerminal(command);
    case Action::kWindow:
      break;
  }
  // The toolkit is given its own options alone: a file's name is never taken for one.
  static std::vector<char*> toolkit_arguments = {argv[0]};
  for (const std::string& option : command.toolkit_options) {
    toolkit_arguments.push_back(const_cast<char*>(option.c_str()));
  }
  static int toolkit_argc = static_cast<int>(toolkit_arguments.size());
  toolkit_arguments.push_back(nullptr);
  const QtMessageHandler toolkit_messages = qInstallMessageHandler(BeforeTheToolkitIsUp);
  QApplication application(toolkit_argc, toolkit_arguments.data());
  qInstallMessageHandler(toolkit_messages);
  QApplication::setApplicationName(nestmend::kApplicationTitle);
  QApplication::setApplicationVersion(nestmend::kApplicationVersion);
  QApplication::setDesktopFileName("org.nestmend.Nestmend");
  nestmend::CatchExitSignals();
  nestmend::DialogPrompts prompts;
  nestmend::Form1 form(prompts);
  if (!command.paths.empty()) form.logic().FileNamed(command.paths.front());
  form.show();
  return QApplication::exec();
}
