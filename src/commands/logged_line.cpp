#include "commands/logged_line.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "base/utf8.h"
#include "commands/handlers.h"
#include "core/log.h"

namespace commands {

namespace {

constexpr std::string_view kMask = "***";
constexpr std::string_view kSpacedMask = " ***";
constexpr std::string_view kBothMasked = "*** ***";  // a password line's old and new

// True for a character that a player may have typed, or a keyboard slipped in, between
// words: a control (C0, C1, DEL), a space of any kind, a line or paragraph separator, or
// a format character (U+200B, U+FEFF, ...).
bool IsBlank(const base::utf8::Character& ch) {
  if ((ch.code >= 0 && ch.code <= 0x20) || ch.code == 0x7F || ch.c1 != 0) return true;
  if (ch.code < 0x80) return false;  // the rest of ASCII, and bytes of no character
  const auto code = static_cast<UChar32>(ch.code);
  return u_isUWhiteSpace(code) || u_charType(code) == U_FORMAT_CHAR;
}

// The first word between blanks (IsBlank), as characters [first, last).
std::pair<std::size_t, std::size_t> FirstWord(const std::vector<base::utf8::Character>& characters) {
  std::size_t first = 0;
  std::size_t i = 0;
  bool inWord = false;
  for (; i < characters.size(); ++i) {
    const bool blank = IsBlank(characters[i]);
    if (blank && inWord) break;
    if (!blank && !inWord) {
      inWord = true;
      first = i;
    }
  }
  return inWord ? std::pair{first, i} : std::pair{std::size_t{0}, std::size_t{0}};
}

// True when the characters [first, last), case-folded (so "LOGIN" and "ſetup" count),
// are `command`, which is lower-case ASCII.
bool FoldsTo(const std::vector<base::utf8::Character>& characters, std::pair<std::size_t, std::size_t> word,
             std::string_view command) {
  if (word.second - word.first != command.size()) return false;
  for (std::size_t i = word.first; i < word.second; ++i) {
    const std::int32_t code = characters[i].code;
    const UChar32 folded = code >= 0 ? u_foldCase(static_cast<UChar32>(code), U_FOLD_CASE_DEFAULT) : -1;
    if (folded != static_cast<unsigned char>(command[i - word.first])) return false;
  }
  return true;
}

// The line with bytes [begin, end) written as "***".
LoggedLine Masked(std::string_view line, std::size_t begin, std::size_t end) {
  const std::string_view masked = line.substr(begin, end - begin);
  return {{0, begin, end, kMask}, masked.find_first_not_of(' ') == std::string_view::npos};
}

std::size_t OffsetIn(std::string_view line, std::string_view word) {
  return static_cast<std::size_t>(word.data() - line.data());
}

}  // namespace

LoggedLine LogLine(std::string_view line, const CommandLine& split,
                   const std::vector<base::utf8::Character>& characters, bool setupParses, bool secret) {
  const std::pair<std::size_t, std::size_t> word = FirstWord(characters);
  const std::size_t begin = word.first < characters.size() ? characters[word.first].at : 0;
  const std::size_t end = word.second > 0 ? characters[word.second - 1].at + characters[word.second - 1].length : 0;
  const bool login = FoldsTo(characters, word, "login");
  const bool password = !login && FoldsTo(characters, word, "password");
  if (!login && !password && !FoldsTo(characters, word, "setup")) {
    return {secret ? core::Shown{0, 0, line.size(), kMask} : core::Shown{}, false};
  }
  if (password) {
    // Both words go, and whatever follows them: a new password typed twice, say.
    if (split.command == "password" && PasswordLineParses(split)) {
      return {{0, OffsetIn(line, split.args[0]), line.size(), kBothMasked}, false};
    }
    return {{begin, end, line.size(), kSpacedMask}, true};
  }
  const bool parses = login ? split.command == "login" && split.ArgCount() >= 2
                            : setupParses;
  if (parses) {
    // The parser's password is the second argument word; the player's is the second
    // word that is not empty. When blanks ran together they differ, and both go.
    const std::string_view password = split.args[1];
    std::size_t last = OffsetIn(line, password) + password.size();
    for (std::size_t i = 0, words = 0; i < split.ArgCount(); ++i) {
      if (split.args[i].empty() || ++words < 2) continue;
      last = std::max(last, OffsetIn(line, split.args[i]) + split.args[i].size());
      break;
    }
    return Masked(line, OffsetIn(line, password), last);
  }
  return {{begin, end, line.size(), kSpacedMask}, true};
}

}  // namespace commands
