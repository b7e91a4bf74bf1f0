#include "commands/words.h"

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

bool HasControlByte(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace commands
