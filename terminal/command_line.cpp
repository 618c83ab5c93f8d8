#include "command_line.h"

#include <algorithm>
#include <array>

namespace nestmend {
namespace {

// The options every Qt program takes for its window, those that take a value and those that
// do not: a user's style sheet or style, among them.
constexpr std::array<std::string_view, 21> kToolkitOptionsWithValue = {
    "-style",   "-stylesheet", "-platform", "-platformpluginpath", "-platformtheme", "-plugin",
    "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session", "-display", "-geometry",
    "-font",    "-fn",         "-title",    "-name",               "-visual",        "-im",
    "-inputstyle", "-bg", "-fg"};
constexpr std::array<std::string_view, 4> kToolkitOptions = {"-reverse", "-nograb", "-dograb",
                                                             "-sync"};

bool Among(const auto& options, const std::string& argument) {
  return std::find(options.begin(), options.end(), argument) != options.end();
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine command;
  bool help = false;
  bool version = false;
  bool options_ended = false;
  const auto fail = [&](std::string why) {
    if (command.error.empty()) command.error = std::move(why);
  };
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      command.paths.push_back(argument);
    } else if (Among(kToolkitOptions, argument) ||
               (Among(kToolkitOptionsWithValue, argument) && index + 1 < arguments.size())) {
      command.toolkit_options.push_back(argument);
      if (Among(kToolkitOptionsWithValue, argument)) {
        command.toolkit_options.push_back(arguments[++index]);
      }
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--check" || argument == "--repair") {
      const auto action =
          argument == "--check" ? CommandLine::Action::kCheck : CommandLine::Action::kRepair;
      if (command.action != CommandLine::Action::kWindow && command.action != action) {
        fail("--check and --repair cannot go together");
      }
      command.action = action;
    } else if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--version") {
      version = true;
    } else {
      fail("unknown option " + argument + " (a file whose name begins with \"-\" goes after --)");
    }
  }
  const bool without_window = command.action != CommandLine::Action::kWindow;
  if (without_window && command.paths.empty()) fail("name at least one file to check or repair");
  for (const std::string& path : command.paths) {
    if (without_window && path.empty()) fail("an empty file name names no file");
  }
  if (!command.error.empty()) {
    command.action = CommandLine::Action::kUsageError;
  } else if (help) {
    command.action = CommandLine::Action::kHelp;
  } else if (version) {
    command.action = CommandLine::Action::kVersion;
  }
  return command;
}

std::string_view Usage() {
  return R"(Usage: nestmend [FILE...]
       nestmend --check FILE...
       nestmend --repair FILE...

Appends the lines "}" that a file nested in { } blocks lost when it was cut off.

With no option, opens Nestmend's window. A FILE named fills its path box (of
several, the first), and Begin repairs it. The window takes Qt's own options
too, such as -style STYLE and -stylesheet FILE.

  --check     say of each FILE whether it lacks lines "}", how many, and on which
              line its outermost block left open begins; nothing is written
  --repair    append the missing lines to each FILE, in place: each FILE ends
              exactly as it was or completely repaired
  --          end the options: every argument after it is a FILE
  -h, --help  show this and exit
  --version   show the version and exit

--check and --repair open no window and need no display. Each FILE, in the
order given, gets one line on standard output, "FILE: what was found or done".

Exit status:
  --check   0: no FILE lacks lines; 1: some FILE lacks lines;
            2: some FILE could not be read, or the command line is wrong
  --repair  0: every FILE ends complete (repaired, or nothing was missing);
            1: some FILE was left as it was; 2: the command line is wrong
  Stopped by a signal (INT, TERM, HUP or QUIT), a run stops at its next safe
  point, the FILE in hand as it was or complete, and no further FILE is taken:
  128 + the signal's number (130 for Ctrl+C, 143 for TERM).
)";
}

}  // namespace nestmend
