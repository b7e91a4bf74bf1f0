#include "server/log.h"

#include <unistd.h>

#include <mutex>

#include "net/socket.h"

namespace server {

namespace {
std::mutex LogLock;  // keeps the lines of two threads apart
}

void Log(std::string_view text) {
  std::lock_guard<std::mutex> guard(LogLock);
  int ignored = 0;
  net::WriteAll(STDOUT_FILENO, text, ignored);  // a log that cannot be written must not stop the game
}

std::string EscapeForLog(std::string_view line) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(line.size());
  for (const char ch : line) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace server
