#include "app/settings.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "net/socket.h"
#include "telnet/telnet_door.h"
#include "web/web_door.h"
#include "web/web_rules.h"

namespace app {

namespace {

// PELTHOLLOW_WEB_PORT (unset: no web client) and PELTHOLLOW_WEB_ORIGINS. Sets `webPort`
// to the web client's port, 0 when it is off.
bool ReadWebSettings(server::ServerOptions& options, std::uint16_t& webPort, std::string& message) {
  web::WebOptions web;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_WEB_PORT", web.port, bad)) {
    message = "Invalid PELTHOLLOW_WEB_PORT: " + bad + "\n";
    return false;
  }
  webPort = web.port;
  if (web.port == 0) return true;
  if (const char* origins = std::getenv("PELTHOLLOW_WEB_ORIGINS")) {
    web.origins = web::SplitOrigins(origins);
  }
  // Doors start one after the other; the first that fails ends the server.
  options.startDoors = [before = std::move(options.startDoors), web = std::move(web)] {
    return (!before || before()) && web::StartWebDoor(web);
  };
  return true;
}

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
  options.startDoors = [before = std::move(options.startDoors), telnet] {
    return (!before || before()) && telnet::StartTelnetDoor(telnet);
  };
  return true;
}

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  std::uint16_t webPort = 0;
  return ReadWebSettings(options, webPort, message) &&
         ReadTelnetSettings(options, webPort, message);
}

}  // namespace app
