// Choosing the role of this run: the first argument, or the answer at the prompt.
#pragma once

#include <istream>
#include <ostream>

namespace app {

enum class Mode {
  Server,
  Client,
  EndOfInput,  // standard input ended at the prompt: the program ends with 0
};

// "server" or "client" as the first argument (exactly, case-sensitive) choose at once.
// Otherwise writes "(S)erver or (C)lient mode? " to `out` and reads one word at a time
// from `in`; a word whose first character is s or c, in either case, chooses, and any
// other word prints the prompt again. Words left on a line are read without waiting.
Mode ChooseMode(int argc, const char* const* argv, std::istream& in, std::ostream& out);

// True when the first argument is "client" and one of the words after it is exactly
// "--plain": the client then shows plain lines even on a terminal that could show the
// full screen. Any other word after "client" has no effect.
bool PlainAsked(int argc, const char* const* argv);

}  // namespace app
