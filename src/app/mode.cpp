#include "app/mode.h"

#include <cctype>
#include <string>
#include <string_view>

namespace app {

Mode ChooseMode(int argc, const char* const* argv, std::istream& in, std::ostream& out) {
  if (argc >= 2) {
    const std::string_view first(argv[1]);
    if (first == "client") return Mode::Client;
    if (first == "server") return Mode::Server;
  }
  std::string word;
  for (;;) {
    out << "(S)erver or (C)lient mode? " << std::flush;
    if (!(in >> word)) return Mode::EndOfInput;  // skips blanks, tabs and line ends
    const int first = std::tolower(static_cast<unsigned char>(word[0]));
    if (first == 'c') return Mode::Client;
    if (first == 's') return Mode::Server;
  }
}

bool PlainAsked(int argc, const char* const* argv) {
  if (argc < 2 || std::string_view(argv[1]) != "client") return false;
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--plain") return true;
  }
  return false;
}

}  // namespace app
