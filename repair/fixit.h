// The repair: finds a file's brace balance and appends the missing closing braces.
#pragma once

#include <string_view>

#include "file_system.h"
#include "repair_surface.h"

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
// summary and the closing message. The file is left exactly as it was, and the summary says
// nothing was repaired, when it cannot be read, is not a regular file, fails to read part way,
// starts with a UTF-16 or UTF-32 byte-order mark, changed between the scan and the append, or
// cannot be extended completely and flushed to the disk. Nothing is ever created. When a pump
// returns false the run undoes whatever it appended, closes the file and returns at once,
// without summary or message.
void Fixit(RepairSurface& surface, FileSystem& file_system = SystemFiles());

}  // namespace nestmend
