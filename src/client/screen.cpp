#include "client/screen.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "client/display.h"

namespace client {

namespace {

// One row of text as drawn: a row of a kept line.
struct ShownRow {
  const KeptLine* line;
  RowSpan span;
};

// The indent of a line's rows after its first at the screen's width.
int ContinuationIndent(const Screen& screen) {
  return std::clamp(screen.columns - 2, 0, kContinuationIndent);
}

// The rows of a kept line at the screen's width.
std::vector<RowSpan> RowsOf(const Screen& screen, const KeptLine& line) {
  const int indent = ContinuationIndent(screen);
  return WrapLine(line.text, screen.columns, line.cut ? indent : 0, indent);
}

void AppendRow(const ShownRow& row, std::string& out) {
  const std::string_view text =
      std::string_view(row.line->text).substr(row.span.begin, row.span.end - row.span.begin);
  out.append(static_cast<std::size_t>(row.span.indent), ' ');
  if (row.line->sent) out += "\x1b[2m";  // dim
  AppendShownText(out, text);
  if (row.line->sent) out += "\x1b[m";
}

// The newest `count` kept rows at most, oldest first.
std::vector<ShownRow> NewestRows(const Screen& screen, int count) {
  std::vector<ShownRow> rows;
  for (auto line = screen.kept.rbegin(); line != screen.kept.rend(); ++line) {
    if (static_cast<int>(rows.size()) >= count) break;
    const std::vector<RowSpan> spans = RowsOf(screen, *line);
    for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
      if (static_cast<int>(rows.size()) >= count) break;
      rows.push_back({&*line, *span});
    }
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

// Cuts the first rows off the oldest kept line, as many as the bounds need (always
// leaving its last row).
void CutOldestLine(Screen& screen) {
  KeptLine& line = screen.kept.front();
  const std::vector<RowSpan> spans = RowsOf(screen, line);
  std::size_t first = 0;  // the first row kept
  if (screen.keptRows > kKeptRows) first = static_cast<std::size_t>(screen.keptRows - kKeptRows);
  while (first + 1 < spans.size() && screen.keptBytes - spans[first].begin > kKeptBytes) ++first;
  first = std::min(first, spans.size() - 1);
  const std::size_t cut = spans[first].begin;
  line.text.erase(0, cut);
  // The rows left are continuation rows and stay indented; they wrap as they did.
  if (first > 0) line.cut = true;
  line.rows -= static_cast<int>(first);
  screen.keptRows -= static_cast<int>(first);
  screen.keptBytes -= cut;
}

void TrimKept(Screen& screen) {
  while (screen.kept.size() > 1 && (screen.keptRows - screen.kept.front().rows >= kKeptRows ||
                                    screen.keptBytes > kKeptBytes)) {
    screen.keptRows -= screen.kept.front().rows;
    screen.keptBytes -= screen.kept.front().text.size();
    screen.kept.pop_front();
  }
  if (screen.keptRows > kKeptRows || screen.keptBytes > kKeptBytes) CutOldestLine(screen);
}

// Measures every kept line again at a new width.
void MeasureKept(Screen& screen) {
  screen.keptRows = 0;
  for (KeptLine& line : screen.kept) {
    line.rows = static_cast<int>(RowsOf(screen, line).size());
    screen.keptRows += line.rows;
  }
  TrimKept(screen);
}

// Puts the cursor at the start of the row where the next row of text goes: the first
// blank output row, or the last one after scrolling the area up. Returns false when
// there is no output area.
bool StartNewRow(Screen& screen, std::string& out) {
  const int area = OutputRows(screen);
  if (area == 0) {
    screen.newestOnInputRow = true;
    return false;
  }
  if (screen.shownRows < area) {
    ++screen.shownRows;
    MoveCursor(1, screen.shownRows, out);
  } else if (area == 1) {
    MoveCursor(1, 1, out);  // no scrolling region of one row: the row is written over
    out += "\x1b[2K";
  } else {
    MoveCursor(1, area, out);
    out += '\n';  // at the bottom of the scrolling region: the area scrolls up one row
  }
  return true;
}

// Keeps one line and writes its rows (only the last kKeptRows of a longer line, as
// only those are kept). Returns the rows it takes.
int AddLine(Screen& screen, std::string_view text, bool sent, std::string& out) {
  KeptLine line{std::string(text), sent, false, 0};
  const std::vector<RowSpan> spans = RowsOf(screen, line);
  line.rows = static_cast<int>(spans.size());
  const std::size_t skipped = spans.size() - std::min(spans.size(), std::size_t{kKeptRows});
  for (std::size_t i = skipped; i < spans.size(); ++i) {
    if (StartNewRow(screen, out)) AppendRow({&line, spans[i]}, out);
  }
  screen.keptRows += line.rows;
  screen.keptBytes += line.text.size();
  screen.kept.push_back(std::move(line));
  TrimKept(screen);
  return static_cast<int>(spans.size());
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

// The line as it is echoed: the password of a setup or login line (even an empty one)
// becomes "***", as the web client echoes it, so that nobody looking at the screen
// reads it.
std::string EchoOf(std::string_view line) {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!FindPassword(line, begin, end)) return std::string(line);
  std::string echo(line.substr(0, begin));
  echo += "***";
  echo += line.substr(end);
  return echo;
}

// The editor's line as the input row shows it: the password of a setup or login line
// as one '*' a character, so its length shows but not its text. Sets `cursor` to the
// offset in the line shown of the editor's cursor.
std::string InputShown(const LineEditor& editor, std::size_t& cursor) {
  const std::string& line = editor.editLine;
  cursor = std::min(editor.cursor, line.size());
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!FindPassword(line, begin, end)) return line;
  std::string shown(line, 0, begin);
  std::size_t shownCursor = cursor;
  for (std::size_t at = begin; at < end; at += CharLength(line, at)) {
    if (at == cursor) shownCursor = shown.size();
    shown += '*';
  }
  if (cursor >= end) shownCursor = cursor - end + shown.size();
  shown.append(line, end);
  cursor = shownCursor;
  return shown;
}

}  // namespace

int OutputRows(const Screen& screen) { return screen.rows - 1; }

void MoveCursor(int column, int row, std::string& out) {
  out += "\x1b[";
  out += std::to_string(row);
  out += ';';
  out += std::to_string(column);
  out += 'H';
}

void StartScreen(Screen& screen, int rows, int columns, std::string& out) {
  out += "\x1b[2J\x1b[1;1H";
  RedrawScreen(screen, rows, columns, out);
}

void RedrawScreen(Screen& screen, int rows, int columns, std::string& out) {
  screen.rows = std::max(rows, 1);
  const int oldColumns = std::exchange(screen.columns, std::max(columns, kMinColumns));
  if (screen.columns != oldColumns) MeasureKept(screen);
  screen.newestOnInputRow = false;

  const int area = OutputRows(screen);
  if (area >= 2) {
    out += "\x1b[1;";  // only the output rows scroll; this also puts the cursor home
    out += std::to_string(area);
    out += 'r';
  } else {
    out += "\x1b[r";  // a region needs two rows: none
  }
  const std::vector<ShownRow> shown = NewestRows(screen, area);
  screen.shownRows = static_cast<int>(shown.size());
  for (int row = 1; row <= screen.shownRows; ++row) {
    MoveCursor(1, row, out);
    out += "\x1b[2K";
    AppendRow(shown[static_cast<std::size_t>(row - 1)], out);
  }
  MoveCursor(1, screen.shownRows + 1, out);
  out += "\x1b[J";  // blank from there down, the input row included
}

int ShowText(Screen& screen, std::string_view text, std::string& out) {
  int used = 0;
  for (;;) {
    const std::size_t end = text.find('\n');
    used += AddLine(screen, text.substr(0, end), false, out);
    if (end == std::string_view::npos) return used;
    text.remove_prefix(end + 1);
  }
}

void ShowSentLine(Screen& screen, std::string_view line, std::string& out) {
  AddLine(screen, EchoOf(line), true, out);
}

void DrawInputRow(Screen& screen, const LineEditor& editor, std::string& out) {
  MoveCursor(1, screen.rows, out);
  out += "\x1b[2K";
  if (screen.newestOnInputRow && OutputRows(screen) == 0 && !screen.kept.empty()) {
    AppendRow(NewestRows(screen, 1).front(), out);
    return;
  }

  std::size_t cursor = 0;
  const std::string shownLine = InputShown(editor, cursor);
  const std::string_view line = shownLine;
  // One column stays free for the cursor after the last character shown, and the last
  // column of the screen stays empty so the bottom row never wraps.
  const int room = screen.columns - 2;
  std::size_t first = CharStartAtOrBefore(line, std::min(screen.inputFirst, line.size()));
  if (cursor < first) first = cursor;
  first = std::max(first, StartWithin(line, cursor, room));  // the cursor stays visible
  first = std::min(first, StartWithin(line, line.size(), room));  // no room left unused
  screen.inputFirst = first;

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

void EndScreen(const Screen& screen, std::string& out) {
  out += "\x1b[r";
  MoveCursor(1, screen.rows, out);
  out += "\x1b[2K";
}

}  // namespace client
