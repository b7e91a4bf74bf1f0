// The server's settings from the environment: the PELTHOLLOW_* variables an operator
// sets. Read once at start, on the main thread, before any other thread exists.
#pragma once

#include <string>

#include "base/status.h"
#include "server/settings.h"

namespace app {

// Fills `settings` from the environment (the game port is read by the caller, since the
// client shares it). Variables that are unset keep their defaults. On the first value
// that does not parse, fails with the line to print, "Invalid NAME: value", without its
// line feed.
base::Status ReadServerSettings(server::ServerSettings& settings);

}  // namespace app
