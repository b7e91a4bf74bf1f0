// The server's settings from the environment: the PELTHOLLOW_* variables an operator
// sets. Read once at start, on the main thread, before any other thread exists.
#pragma once

#include <string>

#include "server/server.h"

namespace app {

// Fills `options` from the environment (the game port is read by the caller, since the
// client shares it). Variables that are unset keep their defaults. On the first value
// that does not parse, returns false and sets `message` to the complete line to print,
// "Invalid NAME: value" and a line feed.
bool ReadServerSettings(server::ServerOptions& options, std::string& message);

}  // namespace app
