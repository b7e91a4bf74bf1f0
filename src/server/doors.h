// The server's listeners: the doors the settings open (the game port, web client,
// telnet, metrics, their TLS twins, the operator's console), each a door of the
// connection layer, opened from one table at start and after an upgrade alike; and the
// accept thread that takes their connections in. Opened on the main thread before the
// other threads start.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/status.h"
#include "connection/connection_layer.h"
#include "server/certificates.h"
#include "server/console.h"
#include "server/game.h"
#include "server/settings.h"
#include "server/standstill.h"

namespace server {

// The first frame every new player gets.
inline constexpr std::string_view kWelcome =
    "Welcome to Pelthollow! Type \"help\" for a list of commands.";

// One open listening socket, and the door of the layer its connections come in by.
struct Listener {
  core::Socket socket = core::kNoSocket;
  std::size_t door = 0;
  std::string doorName;    // "game", "web", "telnet", "metrics", "console"
  std::string acceptName;  // in "Error accepting <name> connection: "; empty for the game port
  bool tcp = true;
};

// Listening sockets an upgrade carried over from the old process, by the name of their
// door: a door that finds its own takes it rather than binding its port again.
using CarriedListeners = std::map<std::string, core::Socket, std::less<>>;

// Opens every door `settings` asks for, in this order: the game port, web client,
// telnet, metrics, the TLS twins of the game port, telnet and the web client (with the
// pair `certificates` hold), and the console's socket at `settings.consolePath`. Each
// takes its listener out of `carried` when an upgrade brought one, or opens its own; is
// added to `layer` and `listeners`; and is logged as it opens ("Listening on port
// 61234.", "Web client on port 8080.", "Console at pelthollow.sock."). A door that cannot
// open is logged ("Error binding telnet port: 98"), and the start fails with false; but
// a console that cannot open leaves the server without one.
bool OpenDoors(const ServerSettings& settings, connection::ConnectionLayer& layer, Game& game, Console& console,
               const Certificates& certificates, std::vector<Listener>& listeners, CarriedListeners& carried);

// A descriptor kept for the moment the process has no other: closed, it lets one
// waiting connection be accepted and turned away at once, so that a full table of
// descriptors does not leave clients hanging in the listen queue. Opened with the
// listeners; -1 when even that fails.
int OpenSpare();

// The accept thread: accepts on every listener for as long as the server runs, and
// hands each connection to `layer`; errors pause it, never end it. `spare` is
// OpenSpare's, the thread's from now on. Stands still while `standstill` asks (an
// upgrade): connections wait in the listeners' queues meanwhile. Counts the accepts
// that fail in `metrics`.
[[noreturn]] void AcceptLoop(connection::ConnectionLayer& layer, const std::vector<Listener>& listeners, int spare,
                             Standstill& standstill, Metrics& metrics);

}  // namespace server
