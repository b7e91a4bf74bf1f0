#include "app/settings.h"

#include <cstdint>
#include <utility>

#include "net/socket.h"
#include "telnet/telnet_door.h"

namespace app {

namespace {

// PELTHOLLOW_TELNET_PORT (unset: no telnet port). `webPort` is the web client's port,
// which the telnet door names to status crawlers; 0 when the web client is off.
bool ReadTelnetSettings(server::ServerOptions& options, std::uint16_t webPort,
                        std::string& message) {
  telnet::TelnetOptions telnet;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_TELNET_PORT", telnet.port, bad)) {
    message = "Invalid PELTHOLLOW_TELNET_PORT: " + bad + "\n";
    return false;
  }
  if (telnet.port == 0) return true;
  telnet.webPort = webPort;
  // Doors start one after the other; the first that fails ends the server.
  options.startDoors = [before = std::move(options.startDoors), telnet] {
    return (!before || before()) && telnet::StartTelnetDoor(telnet);
  };
  return true;
}

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  return ReadTelnetSettings(options, 0, message);
}

}  // namespace app
