// The server's console log: one line per connection, per received command and per
// ended connection, and the start-up lines. Any thread may call; each call is written
// and flushed whole.
#pragma once

#include <string>
#include <string_view>

namespace server {

// Writes `text` to standard output as it is and flushes it.
void Log(std::string_view text);

// `line` as it may appear in the log: every byte below 0x20 and the byte 0x7F becomes
// \x and two lower-case hex digits, so a player cannot drive the operator's terminal.
std::string EscapeForLog(std::string_view line);

}  // namespace server
