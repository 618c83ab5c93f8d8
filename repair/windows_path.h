// How the Windows file layer turns a path from the window into one for the system's calls.
#pragma once

#include <string>
#include <string_view>

#include "file_system.h"

namespace nestmend {

// The UTF-8 path as UTF-16 for CreateFileW. An absolute path of MAX_PATH (260) characters or
// more takes the \\?\ form (\\?\UNC\ for a share), with its slashes turned to backslashes, so
// that it opens wherever long paths are not enabled. Refused: an empty path (kMissing); text
// that is not strict UTF-8 or holds a NUL, and so names no file exactly (kNotExact); a path into
// the device namespace (\\.\ and the like, pipes among them) or one naming a device such as NUL,
// CON, COM1 or LPT1 in any folder, with any extension (kDevice): those are never opened, so no
// open can block or disturb a device.
FileResult<std::wstring> WindowsPath(std::string_view utf8);

}  // namespace nestmend
