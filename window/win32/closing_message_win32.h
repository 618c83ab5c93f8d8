// Nestmend.exe's closing message: the system's own message box over the window, which stays
// usable under it, so that "Exit" and closing the window reach a run that shows it.
#pragma once

#include <windows.h>

#include <string>

namespace nestmend {

// Posted to the window once the box's own loop runs: the window then enables itself again (the
// box disabled it).
inline constexpr UINT kEnableAgain = WM_APP + 1;

// Shows the box over `window`, titled `title`, with `text` and an OK button, and returns when it
// is closed. Screen readers hear `description` with it.
void ShowClosingMessage(HWND window, const std::wstring& title, const std::wstring& text,
                        const std::wstring& description);
// Closes the box showing over `window`, if any, as OK would.
void DismissClosingMessage(HWND window);

}  // namespace nestmend
