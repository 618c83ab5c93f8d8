// On Windows, the program's end can come past every handler of its own: Wine ends it at once
// when its X display goes away, in the middle of an append. While an append is out, this program,
// started again with no window, guards it: should the program end before the append is settled,
// the guard cuts the file back to its original length, or where that is refused, completes the
// lines. It never touches a byte that is not the append's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nestmend {

// Lets the file layer start such a guard for each append (a program that can be one).
void EnableAppendGuard();

// Starts the guard of an append to `file`, from `original` bytes to `expected`, all of them
// `line` CR LF repeated, and returns once it is in place; lets it leave, once the append is
// settled.
void StartAppendGuard(HANDLE file, std::uint64_t original, std::uint64_t expected,
                      std::string_view line);
void AppendGuardCanLeave();

// When this program was started as a guard, which its first argument alone says (the arguments
// after the program's name, as CommandLineToArgvW splits them): waits until the append is
// settled or the program that started it has ended, settles the append in the second case, and
// returns true. False when this is a program started by a person.
bool RunAsAppendGuard(const std::vector<std::wstring>& arguments);

}  // namespace nestmend
