// How the client measures and shows text on a terminal: UTF-8 characters, the columns
// each takes, and the harmless form of bytes that would drive the terminal. Pure
// functions over byte strings; any thread may call them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace client {

// Bytes of the character that starts at `at`: the whole sequence when a well-formed
// UTF-8 character starts there (no overlong forms, no surrogates, nothing past
// U+10FFFF), otherwise 1, so every byte of any string belongs to exactly one character.
// REQUIRES: at < text.size().
std::size_t CharLength(std::string_view text, std::size_t at);

// Start of the character that ends at `at`, by the same rule as CharLength.
// REQUIRES: 0 < at <= text.size() and `at` is the start or the end of a character.
std::size_t PreviousCharStart(std::string_view text, std::size_t at);

// `at` when a character starts there (or it is the end of `text`), otherwise the
// start of the character that holds byte `at`. REQUIRES: at <= text.size().
std::size_t CharStartAtOrBefore(std::string_view text, std::size_t at);

// Columns the shown form of one character takes: 2 for a control byte (caret
// notation) and for East Asian wide characters, 0 for combining marks, 1 otherwise.
// REQUIRES: ch is one character as CharLength cuts it, and not a tab or line feed.
int ShownWidth(std::string_view ch);

// Appends what is written to the terminal for one character: a byte below 0x20 or
// 0x7F in caret notation ("^[" for ESC, "^?" for 0x7F), a byte that is not part of a
// well-formed character and the C1 controls U+0080 to U+009F as U+FFFD, anything
// else as it is. REQUIRES: as for ShownWidth.
void AppendShown(std::string& out, std::string_view ch);

// Columns taken by the shown form of the characters of `text` (no tabs or line feeds
// expected: each counts like a control byte).
int ShownWidthOf(std::string_view text);

}  // namespace client
