// Server start-up and main loop: the listening socket, the accept and input threads,
// and the game's tick every 5 seconds on the main thread. The game itself is given in
// ServerOptions by the program's top (app/), so this layer never calls up into it.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "net/socket.h"
#include "server/address_limits.h"
#include "server/connections.h"

namespace server {

// The first frame every new connection gets.
inline constexpr std::string_view kWelcome =
    "Welcome to Pelthollow! Type \"help\" for a list of commands.";
// The pause between world ticks, measured from the end of one to the start of the next.
inline constexpr auto kTickPeriod = std::chrono::seconds(5);

// What the operator chose for this run (from the environment, see app/settings.h), and
// the game the server runs: the server itself knows nothing of the world.
struct ServerOptions {
  std::uint16_t port = net::kDefaultPort;
  AddressLimits limits;  // what untrusted addresses are held to
  GameHandlers game;     // what each line and each ended connection is given to
  // With ConnectionLock held: once after "Listening on port" is logged, before any
  // connection is taken (loads the world); on the main thread every 5 seconds (the
  // world tick); and once at a shutdown signal, after which the process ends with 0.
  std::function<void()> load;
  std::function<void()> tick;
  std::function<bool()> save;  // false: the process ends with 1
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

}  // namespace server
