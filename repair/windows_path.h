// How the Windows file layer turns a path from the window into one for the system's calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nestmend {

// The UTF-8 path as UTF-16 for CreateFileW. An absolute path of MAX_PATH (260) characters or
// more takes the \\?\ form (\\?\UNC\ for a share), with its slashes turned to backslashes, so
// that it opens wherever long paths are not enabled. Nothing for an empty path, text that is
// not UTF-8, a path into the device namespace (\\.\ and the like, pipes among them), or one
// naming a device such as NUL, CON, COM1 or LPT1 in any folder, with any extension: those are
// never opened, so no open can block or disturb a device.
std::optional<std::wstring> WindowsPath(std::string_view utf8);

}  // namespace nestmend
