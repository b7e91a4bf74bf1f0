// The server role: its doors opened and wired to the game and the console, its threads
// started, and the world tick every 5 seconds on the main thread. Called from main.
//
// Threads, and what each owns:
//   main     the world tick, every 5 seconds (ConnectionLock held while it ticks)
//   accept   polls every listener and hands accepted sockets to the input thread
//   input    reads and writes every connection without the lock, then takes it to feed
//            the codecs, answer one line of each connection and end connections
//   signals  waits for SIGINT, SIGTERM, SIGHUP and the console's countdown; ends the process
//   saver    writes the save file and the bans file (persist/saver.h)
//   worker   hashes passwords (core/worker.h)
//   upgrade  during an upgrade, tries the new build while play goes on (server/upgrade.h)
#pragma once

#include <chrono>

#include "server/settings.h"

namespace server {

// The pause between world ticks, measured from the end of one to the start of the next.
inline constexpr auto kTickPeriod = std::chrono::seconds(5);

// Opens the game port and every door, loads the world and runs the server. Returns
// only after a start-up failure, which it has reported; the result is the exit code.
int RunServer(const ServerSettings& settings);

}  // namespace server
