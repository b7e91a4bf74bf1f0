#include "commands/words.h"

#include <unicode/uchar.h>

#include "base/utf8.h"

namespace commands {

CommandLine SplitWords(std::string_view line) {
  CommandLine split;
  const std::size_t firstSpace = line.find(' ');
  split.command = line.substr(0, firstSpace);
  if (firstSpace == std::string_view::npos) return split;
  std::string_view rest = line.substr(firstSpace + 1);
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    split.args.push_back(rest.substr(0, space));
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  return split;
}

namespace {

constexpr char32_t kCancelTag = 0xE007F;  // ends an emoji tag sequence

bool Tag(char32_t code) { return code >= 0xE0020 && code <= 0xE007E; }

// The format characters that joined scripts, emoji sequences and mixed directions need.
bool NeededFormat(char32_t code) {
  return code == 0x200C || code == 0x200D || code == 0x200E || code == 0x200F || code == 0x061C;
}

// An emoji that tags may follow; not the digits, '#' and '*', which are emoji too.
bool Emoji(char32_t code) {
  return code > 0x7F && u_hasBinaryProperty(static_cast<UChar32>(code), UCHAR_EMOJI);
}

}  // namespace

bool HasControlCharacter(std::string_view text) {
  bool afterEmoji = false;  // the last character was an emoji, or U+FE0F after one
  bool inTags = false;      // within an emoji tag sequence, after one tag or more
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = base::utf8::CharLength(text, at);
    const std::string_view ch = text.substr(at, length);
    at += length;
    const auto byte = static_cast<unsigned char>(ch[0]);
    if (byte < 0x20 || byte == 0x7F || base::utf8::C1Control(ch) != 0) return true;
    if (length == 1) {  // the rest of ASCII, and bytes of no character
      if (inTags) return true;
      afterEmoji = false;
      continue;
    }
    const char32_t code = base::utf8::Decode(ch);
    if (Tag(code)) {
      if (!inTags && !afterEmoji) return true;
      inTags = true;
      continue;
    }
    if (code == kCancelTag) {
      if (!inTags) return true;
      inTags = afterEmoji = false;
      continue;
    }
    if (inTags) return true;  // tags that hide text behind an emoji, never ended
    switch (u_charType(static_cast<UChar32>(code))) {
      case U_FORMAT_CHAR:
        if (!NeededFormat(code)) return true;
        break;
      case U_LINE_SEPARATOR:
      case U_PARAGRAPH_SEPARATOR:
        return true;
      default:
        break;
    }
    afterEmoji = Emoji(code) || (code == 0xFE0F && afterEmoji);
  }
  return inTags;
}

}  // namespace commands
