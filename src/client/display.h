// How the client measures and shows text on a terminal: characters as the client cuts
// them, the columns each takes, the harmless form of bytes that would drive the
// terminal, and the rows a line is wrapped into. Pure functions over byte strings;
// any thread may call them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace client {

// Bytes of the character that starts at `at`: the whole sequence when a well-formed
// UTF-8 character starts there (net/utf8.h), otherwise 1, so every byte of any string
// belongs to exactly one character. REQUIRES: at < text.size().
std::size_t CharLength(std::string_view text, std::size_t at);

// Start of the character that ends at `at`, by the same rule as CharLength.
// REQUIRES: 0 < at <= text.size() and `at` is the start or the end of a character.
std::size_t PreviousCharStart(std::string_view text, std::size_t at);

// `at` when a character starts there (or it is the end of `text`), otherwise the
// start of the character that holds byte `at`. REQUIRES: at <= text.size().
std::size_t CharStartAtOrBefore(std::string_view text, std::size_t at);

// Columns the shown form of one character takes: 2 for a control byte (caret
// notation) and for East Asian wide characters, 4 for a C1 control ("M-^["), 0 for
// combining marks, 1 otherwise.
// REQUIRES: ch is one character as CharLength cuts it, and not a tab or line feed.
int ShownWidth(std::string_view ch);

// Appends what is written to the terminal for one character: a byte below 0x20 or
// 0x7F in caret notation ("^[" for ESC, "^?" for 0x7F); a C1 control, a lone byte 0x80
// to 0x9F or U+0080 to U+009F, as "M-" and the caret notation of its low seven bits
// ("M-^[" for 0x9B, the 8-bit escape; as cat -v shows it); any other byte that is not
// part of a well-formed character as U+FFFD; anything else as it is.
// REQUIRES: as for ShownWidth.
void AppendShown(std::string& out, std::string_view ch);

// Appends the shown form of every character of `text`, line feeds and tabs kept.
void AppendShownText(std::string& out, std::string_view text);

// One row of a wrapped line: `indent` blank columns, then the bytes [begin, end) of the
// line.
struct RowSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  int indent = 0;  // columns
};

// Cuts one line (no line feed in it) into the rows of a screen `columns` wide, the first
// row starting after `firstIndent` blank columns and every later one after `indent`,
// counting each character by ShownWidth and a tab up to the next tab stop (every 8
// columns from the left edge). A row ends at the last blank or tab before the right
// edge; that blank is left out of both rows. A word wider than a row's room is cut at
// the edge, and a character wider than the room has a row of its own. An empty line is
// one empty row. No row needs more than `columns` columns, indent included (but for
// that character alone), so a terminal shows each row on exactly one row of its own.
// REQUIRES: 0 <= firstIndent < columns and 0 <= indent < columns.
std::vector<RowSpan> WrapLine(std::string_view line, int columns, int firstIndent, int indent);

}  // namespace client
