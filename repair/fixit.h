// The repair: finds a file's brace balance and appends the missing closing braces.
#pragma once

#include <string_view>

#include "file_system.h"
#include "repair_surface.h"
#include "sequential_files.h"

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
// When a pump returns false the run stops there: it undoes whatever it appended, closes the
// file and returns without summary or message. An append that could not be undone (an
// append-only file) pumps nothing until it is complete; a stop asked for during it, or during
// the flush, ends the run after the flush, with the file completely repaired.
void Fixit(RepairSurface& surface, FileSystem& file_system = SystemFiles(), ReadPlan plan = {});

}  // namespace nestmend
