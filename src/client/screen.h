// The client's screen writer: the bytes that lay out a terminal as a scrolling output
// area (rows 1 to rows - 1) above one input row (the last row), and the newest rows of
// text it keeps so it can draw the output area again after a resize or a stop. It
// writes nothing itself: each call appends escape sequences and text to `out`, and the
// caller writes them in one go. Only the client's main thread uses a Screen.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "client/editor.h"

namespace client {

// Rows of text kept for drawing the output area again, and the bytes they may hold.
inline constexpr int kKeptRows = 1000;
inline constexpr std::size_t kKeptBytes = std::size_t{4} << 20;

// The fewest columns laid out; a narrower terminal is taken as this wide.
inline constexpr int kMinColumns = 2;

// Blank columns before every row of a line but its first, so that no part of a line
// can stand as a row of its own: a player who says 75 blanks and then "[Announcement]
// ..." makes a row of their speech, not one that passes for the server's. A screen
// too narrow for them keeps two columns for the text and indents less.
inline constexpr int kContinuationIndent = 2;

// One line of the output area: a line of a received text, or a line the user sent.
struct KeptLine {
  std::string text;   // no line feed in it; shown as WrapLine (client/display.h) cuts it
  bool sent = false;  // a line the user sent, shown dimmed
  bool cut = false;   // lost its first rows to the bounds below: every row is indented
  int rows = 1;       // rows it takes at the screen's present width
};

// Rows are numbered from 1 at the top, columns from 1 at the left, as the
// cursor-position sequence counts them.
struct Screen {
  int rows = 24;     // visible rows, at least 1; the input row is the last
  int columns = 80;  // visible columns, at least kMinColumns
  // Output rows 1 to shownRows show the newest kept rows in order, the newest on row
  // shownRows; the output rows below it are blank. Once the output area is full,
  // shownRows is its last row and each new row scrolls it up by one.
  int shownRows = 0;
  // Byte offset of the first character shown in the input row's line as shown (the
  // password of a setup or login line masked).
  std::size_t inputFirst = 0;

  // The newest lines, oldest first. Together they take at most kKeptRows rows and
  // kKeptBytes bytes: older lines are dropped, and the oldest one left loses its first
  // rows when only some of them fit. keptRows and keptBytes are their sums.
  std::deque<KeptLine> kept;
  int keptRows = 0;
  std::size_t keptBytes = 0;

  // A window of one row has no output area: the newest row of text is shown on the
  // input row instead of the line, until the caller clears this at the next key.
  bool newestOnInputRow = false;
};

// Rows of the output area: rows - 1 (0 in a window of one row).
int OutputRows(const Screen& screen);

// Clears the screen, then lays it out at the given size as RedrawScreen does.
void StartScreen(Screen& screen, int rows, int columns, std::string& out);

// Takes a size (rows at least 1, columns at least kMinColumns, whatever is given),
// sets the scrolling region to the output area (when it has two rows or more), and
// draws every output row again from the kept rows: the newest ones, as many as fit,
// from row 1 down. Used after a resize and when the client continues after a stop. The
// input row is left blank; the caller draws it afterwards.
void RedrawScreen(Screen& screen, int rows, int columns, std::string& out);

// Keeps each line of one received text (line feeds separate them) and writes its rows
// below the rows shown, scrolling the output area once it is full. Lines wider than the
// screen are wrapped by WrapLine, every row after the first indented by
// kContinuationIndent. Bytes below 0x20 other than tab, and 0x7F, are
// written in caret notation, so a text cannot move the cursor, clear the screen or
// change the terminal. Returns the rows the text took (at least 1).
int ShowText(Screen& screen, std::string_view text, std::string& out);

// Keeps and writes one line the user sent, as ShowText does, but dimmed, and with the
// password of a setup or login line (its third word) shown as "***".
void ShowSentLine(Screen& screen, std::string_view line, std::string& out);

// Redraws the input row from the editor's line and puts the cursor at the editor's
// cursor. The password of a setup or login line (FindPassword, client/editor.h) shows
// as one '*' a character; the editor's line is left as it is. A line wider than the
// screen scrolls sideways: the part shown always holds the cursor, and uses the whole
// row when the line is long enough. While newestOnInputRow is set in a window of one
// row, the row shows the newest row of text.
void DrawInputRow(Screen& screen, const LineEditor& editor, std::string& out);

// Gives the terminal back: resets the scrolling region to the whole screen, erases the
// input row and leaves the cursor at its start.
void EndScreen(const Screen& screen, std::string& out);

// Appends the sequence that puts the cursor in `column` of `row`.
void MoveCursor(int column, int row, std::string& out);

}  // namespace client
