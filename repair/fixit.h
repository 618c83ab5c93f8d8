// The repair: finds a file's brace balance and appends the missing closing braces.
#pragma once

#include <string_view>

#include "file_system.h"
#include "read_plan.h"
#include "repair_surface.h"
#include "run_outcome.h"

namespace nestmend {

namespace texts {
inline constexpr std::string_view kPreparing = "Preparing To Fix";
inline constexpr std::string_view kFixing = "Fixing File";
inline constexpr std::string_view kNothingDone =
    "Summary:  Either the file had no errors or Nestmend was not able to repair it";
inline constexpr std::string_view kFixedBefore =
    "Summary:  Nestmend was able to recover valuble data and fixed ";
inline constexpr std::string_view kFixedAfter = " errors.";
}  // namespace texts

// The closing message shown after every run, with the maintainer's address.
std::string_view ClosingMessage();

// Repairs the file at surface.RepairPath(): counts its data items for the progress bar, reads it
// again keeping the brace balance ("{" less "}", every brace byte counted), and when the balance
// is positive appends that many lines "}" CR LF after the file's last byte. Then shows the
// summary and the closing message.
//
// The file ends either exactly as it was or completely repaired, and the summary says which.
// Nothing is appended when the path is not a plain file (decided before opening it), the file
// cannot be read or fails to read part way, starts with a UTF-16 or UTF-32 byte-order mark,
// changed between the scan and the append (checked under an exclusive lock, so a second repair
// of the same file appends nothing), or has no room for every line. An append that fails, or is
// found after the flush not to have gone where it should, is cut back, but never past bytes
// another program added. Nothing is ever created.
//
// Every file call is made on a storage thread; while one is out, the run calls the surface's
// PumpEventsRepeatedly(0) every few milliseconds, so a window goes on answering however slow or
// stalled the storage is. When a pump returns false the run stops: a read still out is
// abandoned, and the run returns at once without summary or message; a write, a flush or a
// cut-back still out is waited for first. Whatever the append wrote is cut back, or where the
// cut-back is refused (an append-only file, a file system that will not shrink files), the
// append is completed and flushed instead. A stop asked for during the flush ends the run after
// it, with the file completely repaired.
//
// A check reads the file exactly as a repair does and ends where the append would begin: it
// opens nothing for writing, and shows the reason but neither summary nor closing message.
// Returns how the run ended, for a caller that reports it otherwise than through the surface.
enum class RunMode { kRepair, kCheck };
RunOutcome Fixit(RepairSurface& surface, FileSystem& file_system = SystemFiles(),
                 ReadPlan plan = {}, RunMode mode = RunMode::kRepair);

}  // namespace nestmend
