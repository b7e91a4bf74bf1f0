// What the log shows of a typed line: no password of a setup, login or password line,
// however it was typed. Pure functions over the line; the interpreter calls them for every line it
// handles, with ConnectionLock held, and logs what they keep through core::LogTyped,
// which escapes every control character.
#pragma once

#include <string>
#include <string_view>

#include "base/utf8.h"
#include "core/log.h"
#include "commands/words.h"

namespace commands {

struct LoggedLine {
  core::Shown shown;      // what the log shows of the line (core::LogTyped)
  bool maskNext = false;  // the line held no password: the next line may be it
};

// The log's text of `line` (`split` is SplitWords(line)); `secret` when the line before,
// on the same connection, had maskNext set.
//  - A setup or login line that parses (its command word exact and the words its
//    command reads all there) is logged with its password word as "***", the rest as
//    typed. When blanks ran together, the word the player meant as the password (the
//    second word that is not empty) is not the parser's: everything from the parser's
//    password to the player's is masked ("login Oldtimer  hunter2" is logged
//    "login Oldtimer ***"). maskNext when nothing was masked but blanks.
//  - A line whose first word, between blanks of any kind (spaces, tabs, NBSP, U+3000,
//    other controls and format characters) and case-folded, is "setup" or "login" but
//    that does not parse is logged as that word and " ***" ("Login ***"), and maskNext
//    is set: people type the password on a line of its own after the format answer.
//  - A password line that parses (PasswordLineParses) is logged as "password *** ***":
//    its old and new passwords and anything after them. One whose first word folds to
//    "password" but that does not parse is logged as that word and " ***", and
//    maskNext is set, as for setup and login.
//  - Any other line is logged whole, or as "***" when `secret`.
// `characters` is base::utf8::Characters(line); `setupParses`, SetupLineParses(split)
// for a setup line.
LoggedLine LogLine(std::string_view line, const CommandLine& split,
                   const std::vector<base::utf8::Character>& characters, bool setupParses, bool secret);

}  // namespace commands
