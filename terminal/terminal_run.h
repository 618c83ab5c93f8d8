// Checks or repairs files with no window and no display, from a terminal or a script: one line
// per file on standard output, the same reason the window gives, and an exit status a script
// can test. On a terminal, a one-line progress display on standard error.
#pragma once

#include "command_line.h"

namespace nestmend {

// Runs a kCheck or kRepair command line to its end, or to a signal that asks the program to
// end; returns the exit status that --help describes.
int RunInTerminal(const CommandLine& command);

}  // namespace nestmend
