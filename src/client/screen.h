// The client's screen writer: the bytes that lay out a terminal as a scrolling output
// area (rows 1 to rows - 1) above one input row (the last row). It writes nothing
// itself: each call appends escape sequences and text to `out`, and the caller writes
// them in one go. Only the client's main thread uses a Screen.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/editor.h"

namespace client {

// Rows are numbered from 1 at the top, columns from 1 at the left, as the
// cursor-position sequence counts them.
struct Screen {
  int rows = 24;     // ConsoleRows: visible rows; the input row is the last
  int columns = 80;  // visible columns
  // Row where the next received text starts. Every row from it to the last output row
  // (rows - 1) is blank; once the output area is full it stays at the last output row
  // and older lines scroll up.
  int outputRow = 1;
  std::size_t inputFirst = 0;  // byte offset in EditLine of the first character shown
};

// The smallest layout kept: two output rows above the input row, two columns.
inline constexpr int kMinRows = 3;
inline constexpr int kMinColumns = 2;

// Takes the size (at least kMinRows by kMinColumns whatever is given), clears the
// screen, sets the scrolling region to the output rows and puts the output at row 1.
void StartScreen(Screen& screen, int rows, int columns, std::string& out);

// Writes one received text at the output position, followed by a line end, and moves
// the output position down by the rows it took, line wraps counted. Bytes below 0x20
// other than line feed and tab, and 0x7F, are written in caret notation, so a text
// cannot move the cursor, clear the screen or change the terminal. Returns the rows the
// text took (at least 1; a line feed starts a new row).
int ShowText(Screen& screen, std::string_view text, std::string& out);

// Redraws the input row from the editor's line and puts the cursor at the editor's
// cursor. A line wider than the screen scrolls sideways: the part shown always holds
// the cursor, and uses the whole row when the line is long enough.
void DrawInputRow(Screen& screen, const LineEditor& editor, std::string& out);

// Takes a new size (clamped as StartScreen does): moves the scrolling region and the
// input row, keeps the output position inside the output area and blanks the rows
// from it down. The caller redraws the input row afterwards.
void ResizeScreen(Screen& screen, int rows, int columns, std::string& out);

// Gives the terminal back: resets the scrolling region to the whole screen, erases the
// input row and leaves the cursor at its start.
void EndScreen(const Screen& screen, std::string& out);

// Appends the sequence that puts the cursor at `row`, `column`.
void MoveCursor(int column, int row, std::string& out);

}  // namespace client
