#include "client/display.h"

#include "base/utf8.h"

namespace client {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

constexpr int kTabStop = 8;  // terminal tab stops, in columns

bool IsContinuation(char byte) {
  return base::utf8::IsContinuation(static_cast<unsigned char>(byte));
}

bool IsControlByte(std::string_view ch) {
  const auto byte = static_cast<unsigned char>(ch[0]);
  return ch.size() == 1 && (byte < 0x20 || byte == 0x7F);
}

// True for a lone byte above 0x9F, which is no character of its own (the lone bytes
// below it are C1 controls).
bool ShownAsReplacement(std::string_view ch) {
  return ch.size() == 1 && static_cast<unsigned char>(ch[0]) > 0x9F;
}

bool IsBlank(char byte) { return byte == ' ' || byte == '\t'; }

}  // namespace

std::size_t CharLength(std::string_view text, std::size_t at) {
  return base::utf8::CharLength(text, at);
}

std::size_t PreviousCharStart(std::string_view text, std::size_t at) {
  // A well-formed character holds only continuation bytes after its lead, so the lead
  // is at most three bytes back; anything else is a one-byte character.
  for (std::size_t back = 1; back <= 4 && back <= at; ++back) {
    const std::size_t start = at - back;
    if (IsContinuation(text[start])) continue;
    return back > 1 && CharLength(text, start) == back ? start : at - 1;
  }
  return at - 1;
}

std::size_t CharStartAtOrBefore(std::string_view text, std::size_t at) {
  if (at >= text.size() || !IsContinuation(text[at])) return at;
  for (std::size_t back = 1; back <= 3 && back <= at; ++back) {
    const std::size_t start = at - back;
    if (IsContinuation(text[start])) continue;
    return CharLength(text, start) > back ? start : at;
  }
  return at;
}

int ShownWidth(std::string_view ch) {
  if (IsControlByte(ch)) return 2;
  if (base::utf8::C1Control(ch) != 0) return 4;
  if (ch.size() == 1) return 1;
  return base::utf8::ColumnWidth(base::utf8::Decode(ch));
}

void AppendShown(std::string& out, std::string_view ch) {
  if (IsControlByte(ch)) {
    const auto byte = static_cast<unsigned char>(ch[0]);
    out.push_back('^');
    out.push_back(byte == 0x7F ? '?' : static_cast<char>(byte + 0x40));
  } else if (const unsigned char c1 = base::utf8::C1Control(ch); c1 != 0) {
    out.append("M-^");
    out.push_back(static_cast<char>(c1 - 0x40));
  } else if (ShownAsReplacement(ch)) {
    out.append(kReplacement);
  } else {
    out.append(ch);
  }
}

void AppendShownText(std::string& out, std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharLength(text, at);
    const std::string_view ch = text.substr(at, length);
    if (ch == "\n" || ch == "\t") {
      out.append(ch);
    } else {
      AppendShown(out, ch);
    }
    at += length;
  }
}

std::vector<RowSpan> WrapLine(std::string_view line, int columns, int firstIndent, int indent) {
  std::vector<RowSpan> rows;
  std::size_t begin = 0;
  std::size_t blank = std::string_view::npos;  // the last blank of the present row
  int start = firstIndent;                     // the column the present row's text starts at
  int column = start;                          // columns used on the present row, indent included
  const auto endRow = [&](std::size_t end, std::size_t next) {
    rows.push_back({begin, end, start});
    begin = next;
    blank = std::string_view::npos;
    start = indent;
    column = start;
  };
  for (std::size_t at = 0; at < line.size();) {
    if (IsBlank(line[at])) {
      const int next = line[at] == ' ' ? column + 1 : (column / kTabStop + 1) * kTabStop;
      if (next > columns || (line[at] == '\t' && next == columns)) {
        // No room for the blank: the row ends here and the blank is left out. (A tab
        // that reaches the edge would leave no column for what follows it.)
        endRow(at, at + 1);
      } else {
        blank = at;
        column = next;
      }
      ++at;
      continue;
    }
    const std::size_t length = CharLength(line, at);
    const int width = ShownWidth(line.substr(at, length));
    if (column + width > columns && column > start) {
      if (blank != std::string_view::npos) {
        // The word so far goes down to the next row, whole: measure it again there.
        at = blank + 1;
        endRow(blank, at);
      } else {
        endRow(at, at);  // a word wider than the row
      }
      continue;
    }
    column += width;
    at += length;
  }
  rows.push_back({begin, line.size(), start});
  return rows;
}

}  // namespace client
