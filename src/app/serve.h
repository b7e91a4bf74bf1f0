// The server role: the game (the world, its commands and its file) wired to the
// server's connections and threads. Called from main on the main thread.
#pragma once

#include "server/server.h"

namespace app {

// Fills in the game's part of `options` and runs the server. Returns only after a
// start-up failure, which it has reported; the result is the exit code.
int RunServer(server::ServerOptions options);

}  // namespace app
