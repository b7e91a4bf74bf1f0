// The server's settings from the environment: the PELTHOLLOW_* variables an operator
// sets. Read once at start, on the main thread, before any other thread exists.
#pragma once

#include <string>

#include "server/settings.h"

namespace app {

// Fills `settings` from the environment (the game port is read by the caller, since the
// client shares it). Variables that are unset keep their defaults. On the first value
// that does not parse, returns false and sets `message` to the complete line to print,
// "Invalid NAME: value" and a line feed.
bool ReadServerSettings(server::ServerSettings& settings, std::string& message);

}  // namespace app
