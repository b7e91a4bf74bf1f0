#include "app/settings.h"

#include <cstdlib>
#include <utility>

#include "net/socket.h"
#include "web/web_door.h"
#include "web/web_rules.h"

namespace app {

namespace {

// PELTHOLLOW_WEB_PORT (unset: no web client) and PELTHOLLOW_WEB_ORIGINS.
bool ReadWebSettings(server::ServerOptions& options, std::string& message) {
  web::WebOptions web;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_WEB_PORT", web.port, bad)) {
    message = "Invalid PELTHOLLOW_WEB_PORT: " + bad + "\n";
    return false;
  }
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

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  return ReadWebSettings(options, message);
}

}  // namespace app
