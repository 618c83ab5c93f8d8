// On Windows, the program's end can come past every handler of its own: Wine ends it at once
// when its X display goes away, in the middle of an append. While an append is out, this program,
// started again with no window, guards it: should the program end before the append is settled,
// the guard cuts the file back to its original length, or where that is refused, completes the
// lines. It never touches a byte that is not the append's.
#pragma once

namespace nestmend {

// Lets the file layer start such a guard for each append (a program that can be one).
void EnableAppendGuard();

// When this program was started as a guard: waits until the append is settled or the program
// that started it has ended, settles the append in the second case, and returns true. False
// when this is a program started by a person.
bool RunAsAppendGuard();

}  // namespace nestmend
