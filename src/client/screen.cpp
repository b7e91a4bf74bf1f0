#include "client/screen.h"

#include <algorithm>

#include "client/display.h"

namespace client {

namespace {

constexpr int kTabStop = 8;

int LastOutputRow(const Screen& screen) { return screen.rows - 1; }

void SetSize(Screen& screen, int rows, int columns) {
  screen.rows = std::max(rows, kMinRows);
  screen.columns = std::max(columns, kMinColumns);
}

// "ESC [ 1 ; last r": only the output rows scroll. It also puts the cursor home.
void SetScrollingRegion(const Screen& screen, std::string& out) {
  out += "\x1b[1;";
  out += std::to_string(LastOutputRow(screen));
  out += 'r';
}

// Writes one line of a received text (no line feed in it) and returns the rows the
// terminal uses for it, wrapping at the right margin as terminals do.
int ShowLine(const Screen& screen, std::string_view line, std::string& out) {
  int rows = 1;
  int column = 0;  // columns used on the present row; == columns while a wrap is pending
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t length = CharLength(line, at);
    const std::string_view ch = line.substr(at, length);
    at += length;
    if (ch == "\t") {
      // A tab moves to the next stop and never past the last column; it never wraps.
      if (column < screen.columns - 1) {
        column = std::min((column / kTabStop + 1) * kTabStop, screen.columns - 1);
      }
      out += '\t';
      continue;
    }
    const int width = ShownWidth(ch);
    if (width > 0 && column + width > screen.columns) {
      ++rows;
      column = 0;
    }
    column += width;
    AppendShown(out, ch);
  }
  return rows;
}

// Columns of line[from, to), counted up to `limit` + 1 at most.
int WidthUpTo(std::string_view line, std::size_t from, std::size_t to, int limit) {
  int width = 0;
  for (std::size_t at = from; at < to && width <= limit;) {
    const std::size_t length = CharLength(line, at);
    width += ShownWidth(line.substr(at, length));
    at += length;
  }
  return width;
}

// The earliest character start from which line[start, to) takes at most `limit`
// columns.
std::size_t StartWithin(std::string_view line, std::size_t to, int limit) {
  std::size_t start = to;
  int width = 0;
  while (start > 0) {
    const std::size_t previous = PreviousCharStart(line, start);
    width += ShownWidth(line.substr(previous, start - previous));
    if (width > limit) break;
    start = previous;
  }
  return start;
}

}  // namespace

void MoveCursor(int column, int row, std::string& out) {
  out += "\x1b[";
  out += std::to_string(row);
  out += ';';
  out += std::to_string(column);
  out += 'H';
}

void StartScreen(Screen& screen, int rows, int columns, std::string& out) {
  SetSize(screen, rows, columns);
  screen.outputRow = 1;
  screen.inputFirst = 0;
  out += "\x1b[2J\x1b[1;1H";
  SetScrollingRegion(screen, out);
}

int ShowText(Screen& screen, std::string_view text, std::string& out) {
  MoveCursor(1, screen.outputRow, out);
  int used = 0;
  for (;;) {
    const std::size_t end = text.find('\n');
    used += ShowLine(screen, text.substr(0, end), out);
    out += "\r\n";  // at the last output row this scrolls the output area up
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  screen.outputRow = std::min(screen.outputRow + used, LastOutputRow(screen));
  return used;
}

void DrawInputRow(Screen& screen, const LineEditor& editor, std::string& out) {
  const std::string_view line = editor.editLine;
  const std::size_t cursor = std::min(editor.cursor, line.size());
  // One column stays free for the cursor after the last character shown, and the last
  // column of the screen stays empty so the bottom row never wraps.
  const int room = screen.columns - 2;
  std::size_t first = CharStartAtOrBefore(line, std::min(screen.inputFirst, line.size()));
  if (cursor < first) first = cursor;
  first = std::max(first, StartWithin(line, cursor, room));  // the cursor stays visible
  first = std::min(first, StartWithin(line, line.size(), room));  // no room left unused
  screen.inputFirst = first;

  MoveCursor(1, screen.rows, out);
  out += "\x1b[2K";
  int width = 0;
  for (std::size_t at = first; at < line.size();) {
    const std::size_t length = CharLength(line, at);
    const std::string_view ch = line.substr(at, length);
    width += ShownWidth(ch);
    if (width > room + 1) break;
    AppendShown(out, ch);
    at += length;
  }
  MoveCursor(1 + WidthUpTo(line, first, cursor, room), screen.rows, out);
}

void ResizeScreen(Screen& screen, int rows, int columns, std::string& out) {
  SetSize(screen, rows, columns);
  SetScrollingRegion(screen, out);
  screen.outputRow = std::min(screen.outputRow, LastOutputRow(screen));
  MoveCursor(1, screen.outputRow, out);
  out += "\x1b[J";  // blank from the output position down, input row included
}

void EndScreen(const Screen& screen, std::string& out) {
  out += "\x1b[r";
  MoveCursor(1, screen.rows, out);
  out += "\x1b[2K";
}

}  // namespace client
