#include "server/exposition.h"

namespace server {

// A label value as both formats quote it.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace server
