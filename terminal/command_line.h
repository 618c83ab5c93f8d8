// What Nestmend is asked to do by its command line: open its window, with a file named or
// none, check or repair files with no window at all, or say how it is used or its version.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nestmend {

struct CommandLine {
  enum class Action { kWindow, kCheck, kRepair, kHelp, kVersion, kUsageError };

  Action action = Action::kWindow;
  // The files named, in the order given and exactly as given: on Linux a name's own bytes.
  std::vector<std::string> paths;
  // The toolkit's own options for the window (-style, -stylesheet and the like), with their
  // values, in the order given; ignored with no window.
  std::vector<std::string> toolkit_options;
  // What is wrong with the command line, for kUsageError.
  std::string error;
};

// Reads the arguments that follow the program's name. Options may stand anywhere before "--",
// after which everything is a file, so that a file named "-x.json" can be named. An unknown
// option, --check with --repair, either without a file, or an empty file name is a usage error;
// --help and --version win over everything else that is right.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// What --help prints.
std::string_view Usage();

}  // namespace nestmend
