#include "commands/logged_line.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "commands/handlers.h"
#include "core/log.h"
#include "base/utf8.h"

namespace commands {

namespace {

constexpr std::string_view kMask = "***";

// True for a character that a player may have typed, or a keyboard slipped in, between
// words: a control (C0, C1, DEL), a space of any kind, a line or paragraph separator, or
// a format character (U+200B, U+FEFF, ...).
bool IsBlank(std::string_view ch) {
  const auto byte = static_cast<unsigned char>(ch[0]);
  if (byte <= 0x20 || byte == 0x7F || base::utf8::C1Control(ch) != 0) return true;
  if (ch.size() == 1) return false;  // the rest of ASCII, and bytes of no character
  const auto code = static_cast<UChar32>(base::utf8::Decode(ch));
  return u_isUWhiteSpace(code) || u_charType(code) == U_FORMAT_CHAR;
}

// The first word of `line` between blanks (IsBlank).
std::string_view FirstWord(std::string_view line) {
  std::size_t begin = 0;
  std::size_t at = 0;
  bool inWord = false;
  while (at < line.size()) {
    const std::size_t length = base::utf8::CharLength(line, at);
    const bool blank = IsBlank(line.substr(at, length));
    if (blank && inWord) break;
    if (!blank && !inWord) {
      inWord = true;
      begin = at;
    }
    at += length;
  }
  return inWord ? line.substr(begin, at - begin) : std::string_view();
}

// True when `word`, case-folded (so "LOGIN" and "ſetup" count), is `command`, which is
// lower-case ASCII.
bool FoldsTo(std::string_view word, std::string_view command) {
  std::size_t matched = 0;
  for (std::size_t at = 0; at < word.size();) {
    const std::size_t length = base::utf8::CharLength(word, at);
    const std::string_view ch = word.substr(at, length);
    at += length;
    const bool wellFormed = base::utf8::WellFormedLength(ch, 0) == ch.size();
    const UChar32 folded =
        wellFormed ? u_foldCase(static_cast<UChar32>(base::utf8::Decode(ch)), U_FOLD_CASE_DEFAULT)
                   : -1;
    if (matched == command.size() || folded != static_cast<unsigned char>(command[matched])) {
      return false;
    }
    ++matched;
  }
  return matched == command.size();
}

// The line with bytes [begin, end) written as "***".
LoggedLine Masked(std::string_view line, std::size_t begin, std::size_t end) {
  const std::string_view masked = line.substr(begin, end - begin);
  std::string text(line.substr(0, begin));
  text += kMask;
  text += line.substr(end);
  return {core::EscapeForLog(text), masked.find_first_not_of(' ') == std::string_view::npos};
}

std::size_t OffsetIn(std::string_view line, std::string_view word) {
  return static_cast<std::size_t>(word.data() - line.data());
}

}  // namespace

LoggedLine LogLine(std::string_view line, const CommandLine& split, bool secret) {
  const std::string_view first = FirstWord(line);
  const bool login = FoldsTo(first, "login");
  if (!login && !FoldsTo(first, "setup")) {
    return {secret ? std::string(kMask) : core::EscapeForLog(line), false};
  }
  const bool parses = login ? split.command == "login" && split.ArgCount() >= 2
                            : split.command == "setup" && SetupLineParses(split);
  if (parses) {
    // The parser's password is the second argument word; the player's is the second
    // word that is not empty. When blanks ran together they differ, and both go.
    const std::string_view password = split.args[1];
    std::size_t end = OffsetIn(line, password) + password.size();
    for (std::size_t i = 0, words = 0; i < split.ArgCount(); ++i) {
      if (split.args[i].empty() || ++words < 2) continue;
      end = std::max(end, OffsetIn(line, split.args[i]) + split.args[i].size());
      break;
    }
    return Masked(line, OffsetIn(line, password), end);
  }
  std::string text = core::EscapeForLog(first);
  text += ' ';
  text += kMask;
  return {std::move(text), true};
}

}  // namespace commands
