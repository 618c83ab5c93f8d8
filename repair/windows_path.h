// How the Windows file layer turns a path from the window into one for the system's calls.
#pragma once

#include <string>
#include <string_view>

#include "file_system.h"

namespace nestmend {

// The UTF-8 path as UTF-16 for CreateFileW, in the \\?\ form of its full path (\\?\UNC\ for a
// share), which the system takes exactly: slashes turned to backslashes, "." and ".." resolved,
// a relative path continuing the current folder, and every name as given, a trailing dot or
// space included (the system's own resolution would drop it, and name another file). It opens
// wherever long paths are not enabled too. Refused: an empty path (kMissing); text
// that is not strict UTF-8 or holds a NUL, and so names no file exactly (kNotExact); a path into
// the device namespace (\\.\ and the like, pipes among them) or one naming a device such as NUL,
// CON, COM1 or LPT1 in any folder, with any extension (kDevice): those are never opened, so no
// open can block or disturb a device.
FileResult<std::wstring> WindowsPath(std::string_view utf8);

}  // namespace nestmend
