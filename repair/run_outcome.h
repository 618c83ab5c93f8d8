// How a run ended, as the engine decides it: what the summary reports, and the reason a window
// shows beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "file_system.h"

namespace nestmend {

struct RunOutcome {
  enum class Kind : std::uint8_t {
    kRepaired,          // `lines` appended, on the disk
    kLacking,           // a check: `lines` would be appended
    kBalanced,          // nothing was missing
    kMoreClosing,       // `lines` more "}" than "{": nothing to append
    kNoPath,            // the path box was empty
    kPathNotExact,      // its text cannot name a file exactly
    kMissing,           // no file at the path
    kFolder,            // the path names a folder,
    kDevice,            // a device,
    kPipe,              // a pipe or socket,
    kNotPlain,          // or something else that is not a plain file
    kCannotRead,        // `problem`: no permission, or an error while reading
    kCannotWrite,       // `problem`: read-only, no permission, an append that could not be whole,
                        // or the storage refused the lines and they were taken back
    kWideText,          // UTF-16 or UTF-32 text, which 8-bit lines would corrupt
    kChanged,           // another program changed the file during the repair
    kHeld,              // another program, or another repair, holds the file
    kNoRoom,            // not enough room on the disk for `lines` lines
    kTooLarge,          // the file-size limit leaves no room for `lines` lines
    kLeftBehind,        // the storage failed while appending, or did not confirm the lines, and
                        // `left_behind` of the `lines` could not be taken back
    kStoppedUntouched,  // stopped by the user or a signal: the file is as it was
    kStoppedCompleted,  // stopped once the lines were on their way: completed
    kStoppedPartial,    // stopped, and neither undone nor completed: as kLeftBehind
    kNoMemory,          // the system refused the memory a run needs
  };

  Kind kind = Kind::kBalanced;
  FileProblem problem = FileProblem::kNone;
  std::uint64_t lines = 0;
  std::uint64_t left_behind = 0;
  // Where the outermost block left open began: a line of the file, from 1.
  std::optional<std::uint64_t> open_block_line;

  bool repaired() const { return kind == Kind::kRepaired; }
};

// Why the run ended as it did, in one sentence a person understands without knowing the
// program: the file's own situation, not the system call.
std::string Reason(const RunOutcome& outcome);

}  // namespace nestmend
