// Server start-up and main loop: the listening sockets of the game port and the doors,
// the accept and input threads, and the game's tick every 5 seconds on the main
// thread. The game itself is given in ServerOptions by the program's top (app/), so
// this layer never calls up into it.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket.h"
#include "server/address_limits.h"
#include "server/codec.h"
#include "server/connections.h"

namespace server {

// The pause between world ticks, measured from the end of one to the start of the next.
inline constexpr auto kTickPeriod = std::chrono::seconds(5);

// A port besides the game port (the web client, telnet), whose connections speak the
// protocol of their codec.
struct Door {
  std::uint16_t port = 0;
  std::uint32_t address = INADDR_ANY;  // the address it listens on, host byte order
  std::string opened;      // logged once it listens: "Web client on port 8080."
  std::string bindFailed;  // logged with the errno value when it cannot: "Error binding ..."
  std::string name;        // in "Error accepting <name> connection: "
  CodecMaker makeCodec;
};

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
  // Opened in this order once the world is loaded, before any connection is taken;
  // the first that fails ends the server with code 1.
  std::vector<Door> doors;
  // The operator's console: its socket's path (empty: none), and what runs each of its
  // commands, on the accept thread with ConnectionLock held, giving the answer's text.
  // A socket that cannot be opened is logged and the server goes on without a console.
  std::string adminSocket;
  std::function<std::string(std::string_view command)> admin;
};

// Queues `text` for every player connection and flushes. REQUIRES: ConnectionLock held.
void TellEveryone(std::string_view text);

// A shutdown `seconds` from now, announced at once ("The server is going down in 5
// minutes.") and again at 5 minutes, 1 minute, 30 and 10 seconds; a countdown already
// running is replaced. When it is due, every player is told "The server is going down
// now.", the world is saved and the process ends with 0 (1 when the save failed), as
// at SIGTERM. REQUIRES: called on the accept thread (by a console command), with
// ConnectionLock held.
void ScheduleShutdown(int seconds);
// Stops the countdown; false when none was running. REQUIRES: as ScheduleShutdown.
bool CancelShutdown();

// "5 minutes", "1 minute", "90 seconds": how the countdown names the time left.
std::string TimeLeftText(int seconds);

// For the console's status and the metrics. Any thread may call.
std::chrono::steady_clock::time_point ServerStartTime();
std::chrono::nanoseconds LastTickDuration();

// Opens the listening socket on the game port and runs the server. Returns only after
// a start-up failure, which it has reported; the result is the exit code.
int StartServer(const ServerOptions& options);

}  // namespace server
