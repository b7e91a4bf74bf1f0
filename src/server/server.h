// Server start-up and main loop: the listening socket, the accept and input threads
// and the world tick every 5 seconds on the main thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/socket.h"

namespace server {

// What the operator chose for this run (from the environment, see app/settings.h).
struct ServerOptions {
  std::uint16_t port = net::kDefaultPort;
  // Called once, right after "Listening on port" is logged and before any connection
  // is taken: starts the doors other than the game port (they log their own lines).
  // Returns false after reporting a failure, and the server then ends with code 1.
  std::function<bool()> startDoors;
};

// Opens the listening socket on the game port and runs the server. Returns only after
// a start-up failure, which it has reported; the result is the exit code.
int StartServer(const ServerOptions& options);

// Takes in a connected, non-blocking socket as a new game connection from `peer`: logs
// it, registers it and greets it, exactly as for a client of the game port. The game
// port's accept thread and the doors (web, telnet) call it; any thread may, without
// ConnectionLock (it takes the lock itself). The server owns `socket` from then on.
void AdmitConnection(net::Socket socket, const sockaddr_in& peer);

// The number of characters in play now, for status reports. Any thread may call it,
// without ConnectionLock (it takes the lock itself).
std::size_t CharactersInPlay();

}  // namespace server
