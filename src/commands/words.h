// Splitting a typed line into its command word and argument words. Only the space
// (0x20) separates words: two spaces in a row give an empty word between them, and a
// space at the very end gives no empty last word.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace commands {

// A split line. The views point into the line it was made from, which must outlive it.
struct CommandLine {
  std::string_view command;
  std::vector<std::string_view> args;

  std::size_t ArgCount() const { return args.size(); }
  // Argument word i (from 0), or the empty string when the line has fewer words.
  std::string_view Arg(std::size_t i) const { return i < args.size() ? args[i] : std::string_view(); }
};

CommandLine SplitWords(std::string_view line);

// True when `text` holds a character that could forge a line, turn text around or hide
// it: a byte below 0x20 or the byte 0x7F; a C1 control, as a lone byte 0x80 to 0x9F or
// as U+0080 to U+009F; a line or paragraph separator; a format character (category Cf:
// bidi embeddings, overrides and isolates, U+200B, U+2060, U+FEFF, U+00AD, the invisible
// operators ...) but those that real text needs: the joiners U+200C and U+200D, the
// direction marks U+200E, U+200F and U+061C, and the tags U+E0020 to U+E007E of an
// emoji tag sequence (one or more after an emoji, ended by U+E007F, as in a flag).
// Such characters are refused in everything a player makes others see. Any other byte
// that is no part of a well-formed UTF-8 character is not refused.
bool HasControlCharacter(std::string_view text);

}  // namespace commands
