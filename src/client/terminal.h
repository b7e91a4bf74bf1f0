// The client's hold on its terminal: raw mode through termios and the window size.
// The saved settings are process-wide; only the client's main thread calls these.
#pragma once

namespace client {

// True when the client should drive a screen: standard input and output are both
// terminals and TERM is not "dumb". Otherwise the client runs in line mode.
bool UseScreen();

// Saves the terminal settings of standard input and switches it to raw mode: no echo,
// no line buffering, no flow control, no carriage-return or line-feed translation in
// either direction, one byte per read; signals (Ctrl-C, Ctrl-Z, Ctrl-\) still work.
// Returns false and changes nothing when the settings cannot be read or written.
bool EnterRawMode();

// Puts back the settings EnterRawMode saved. Does nothing when raw mode is not on;
// safe to call more than once.
void LeaveRawMode();

// The visible size of the terminal on standard output. Returns false and leaves
// `rows` and `columns` untouched when the terminal does not tell (or says 0).
bool WindowSize(int& rows, int& columns);

}  // namespace client
