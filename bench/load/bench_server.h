// Starting and stopping the game server under test: the pelthollow binary run in a
// temporary folder of its own, on a free port, with its log in that folder. Called from
// the load generator's one thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace bench {

struct GameProcess {
  pid_t pid = -1;
  int port = 0;
  int webPort = 0;     // the web client's port; 0: none
  std::string folder;  // the temporary folder; removed by StopGame
  std::string log;     // the server's standard output and error, inside `folder`
};

// Raises this process's descriptor limit to at least `wanted` (up to the hard limit).
// Returns the soft limit in force afterwards.
long RaiseFileLimit(long wanted);

// A TCP port on the loopback that nobody listens on right now.
int FreePort();

// Starts `binary server` in a new temporary folder with PELTHOLLOW_PORT set to a free
// port (and PELTHOLLOW_WEB_PORT to another when `web`) and its descriptor limit raised
// to the hard limit, and waits (at most 10 s) for "Listening on port " (and "Web client
// on port "). False with `error` set (and nothing left running) when it does not come
// up.
bool StartGame(const std::string& binary, GameProcess& out, std::string& error, bool web = false);

// Ends the server with SIGTERM (it saves and leaves), SIGKILL after 5 s, and removes
// its folder unless `keep`. Harmless on a GameProcess that is not running.
void StopGame(GameProcess& game, bool keep);

// The last `bytes` bytes of a file, for showing why a server did not come up.
std::string Tail(const std::string& path, std::size_t bytes);

}  // namespace bench
