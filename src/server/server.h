// Server start-up and main loop: the listening socket, the accept and input threads
// and the world tick every 5 seconds on the main thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "net/socket.h"

namespace server {

// Opens the listening socket on `port` and runs the server. Returns only after a
// start-up failure, which it has reported.
void StartServer(std::uint16_t port);

// Takes in a connected, non-blocking socket as a new game connection from `peer`: logs
// it, registers it and greets it, exactly as for a client of the game port. The game
// port's accept thread and the doors (web, telnet) call it; any thread may, without
// ConnectionLock (it takes the lock itself). The server owns `socket` from then on.
void AdmitConnection(net::Socket socket, const sockaddr_in& peer);

}  // namespace server
