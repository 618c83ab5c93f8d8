// The signals that ask a program to end (TERM, HUP, INT, QUIT: a logout, a `kill`, Ctrl+C in
// the terminal) are turned into a request that the window honours at its next safe point, as
// it honours "Exit": a repair in progress stops without leaving its file half repaired.
#pragma once

namespace nestmend {

// Installs the handlers. Called once, before the window opens.
void CatchExitSignals();

// Whether one of those signals has arrived.
bool ExitSignalled();
// Which one arrived first; 0 before any.
int ExitSignalNumber();

// A descriptor that becomes readable when one arrives, for an event loop to watch; -1 before
// CatchExitSignals and where the system has no such descriptor. Reading it empties it.
int ExitSignalDescriptor();

}  // namespace nestmend
