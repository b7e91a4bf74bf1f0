#include "commands/words.h"

#include <unicode/uchar.h>

#include "net/utf8.h"

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

bool HasRefusedCharacter(std::string_view text, bool spacesRefused) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = net::utf8::CharLength(text, at);
    const std::string_view ch = text.substr(at, length);
    at += length;
    const auto byte = static_cast<unsigned char>(ch[0]);
    if (byte < 0x20 || byte == 0x7F || net::utf8::C1Control(ch) != 0) return true;
    if (length == 1) continue;  // the rest of ASCII, and bytes of no character
    switch (u_charType(static_cast<UChar32>(net::utf8::Decode(ch)))) {
      case U_FORMAT_CHAR:
      case U_LINE_SEPARATOR:
      case U_PARAGRAPH_SEPARATOR:
        return true;
      case U_SPACE_SEPARATOR:
        if (spacesRefused) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

bool HasControlCharacter(std::string_view text) { return HasRefusedCharacter(text, false); }

bool HasControlOrSpace(std::string_view name) { return HasRefusedCharacter(name, true); }

}  // namespace commands
