// Plain mode on a terminal: the server's texts as plain lines, one after another, and
// the line being typed echoed at the end, with no escape sequence at all (printable
// text, CR, LF and BS only), for terminals that cannot be addressed and for screen
// readers, which read each new row once. Like Screen, it writes nothing itself: each
// call appends bytes to `out`. Only the client's main thread uses a PlainLines.
#pragma once

#include <string>
#include <string_view>

#include "client/editor.h"

namespace client {

struct PlainLines {
  // The terminal's width. A typed line that may have wrapped onto a second row is
  // never erased with BS, which cannot go back up a row.
  int columns = 80;
  // The typed line as it stands on the terminal's last row, in its shown form
  // (PlainEcho); empty when that row holds nothing typed and the cursor is at its start.
  std::string shown;
};

// What plain mode echoes of a typed line: a byte below 0x20 or 0x7F in caret notation
// (client/display.h), and each character of the password of a setup or login line
// (FindPassword, client/editor.h) as one '*'.
std::string PlainEcho(std::string_view line);

// True for the keys plain mode acts on: the cursor always stays at the end of the line
// (it is never moved back over what was echoed), so the keys that move it (Left, Right,
// Home, End) or act under or after it (Delete, Ctrl-K) are dropped.
bool PlainTakesKey(const Key& key);

// True for Ctrl-D on an empty line, which ends the input as a terminal's own line
// editing has it: the client then sends nothing more and waits for the server's close.
bool PlainEndsInput(const Key& key, const LineEditor& editor);

// Brings the echo of the typed line to the editor's line: erases, from the end, what
// differs (BS, blank, BS for each column) and writes the rest. When the echo shown is as
// wide as the terminal or wider, the line is written again whole on a new row instead.
void DrawPlainInput(PlainLines& plain, const LineEditor& editor, std::string& out);

// Shows one received text: each of its lines on a row of its own, control bytes in
// caret notation. A half-typed line is blanked out first (or, when it may have
// wrapped, ended with CR LF) and echoed again after the text, so the text is never
// glued onto it, and a screen reader reads the text once and not the typed line again.
void ShowPlainText(PlainLines& plain, std::string_view text, std::string& out);

// The line finished with Enter, empty or not: its echo is completed first (keys that
// came in one read with their Enter were not echoed yet), then its row is ended.
void ShowPlainSent(PlainLines& plain, std::string_view line, std::string& out);

// Ends the typed line's row, when it has one, so that what comes next (a shell's
// prompt after a stop, the message at the end) starts a row of its own. The next
// DrawPlainInput echoes the line again whole.
void EndPlain(PlainLines& plain, std::string& out);

}  // namespace client
