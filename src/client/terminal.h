// The client's hold on its terminal: raw mode through termios and the window size.
// The saved settings are process-wide; only the client's main thread calls these.
#pragma once

namespace client {

// How the client uses its terminal once connected.
enum class TerminalUse {
  Screen,  // the full screen: output area and line editor (client/screen.h)
  Plain,   // plain lines on a terminal, keys read by the client (client/plain.h)
  Lines,   // lines read from standard input as it gives them; no raw mode
};

// Screen when standard input and output are both terminals, TERM is not "dumb" and
// plain mode was not asked for. Plain instead when either of those two holds and the
// terminal echoes what is typed: one that does not (an editor's shell buffer, which
// edits and shows the line itself) gets Lines, as do pipes and files.
TerminalUse ChooseTerminalUse(bool plainAsked);

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
