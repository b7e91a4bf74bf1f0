#include "app/settings.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "net/socket.h"
#include "server/connection_lock.h"
#include "telnet/telnet_door.h"
#include "web/web_door.h"
#include "web/web_rules.h"
#include "world/character.h"

namespace app {

namespace {

// The value of `name`, or nullptr when it is unset.
const char* Setting(const char* name) { return std::getenv(name); }

bool Invalid(const char* name, std::string_view value, std::string& message) {
  message = std::string("Invalid ") + name + ": " + std::string(value) + "\n";
  return false;
}

// A limit: decimal digits only, 0 for no limit. Unset keeps `limit` as it is.
bool ReadLimit(const char* name, unsigned& limit, std::string& message) {
  const char* value = Setting(name);
  if (value == nullptr) return true;
  const std::string_view text(value);
  unsigned number = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return Invalid(name, text, message);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size()) return Invalid(name, text, message);
  limit = number;
  return true;
}

bool ReadLimits(server::AddressLimits& limits, std::string& message) {
  if (const char* trusted = Setting("PELTHOLLOW_TRUSTED")) {
    if (!server::ParseAddressBlocks(trusted, limits.trusted))
      return Invalid("PELTHOLLOW_TRUSTED", trusted, message);
  }
  return ReadLimit("PELTHOLLOW_MAX_CONNECTIONS", limits.maxConnections, message) &&
         ReadLimit("PELTHOLLOW_MAX_FAILED_LOGINS", limits.maxFailedLogins, message) &&
         ReadLimit("PELTHOLLOW_MAX_NEW_CHARACTERS", limits.maxNewCharacters, message) &&
         ReadLimit("PELTHOLLOW_MAX_LINES_PER_SECOND", limits.maxLinesPerSecond, message);
}

// PELTHOLLOW_WEB_PORT (unset: no web client) and PELTHOLLOW_WEB_ORIGINS. Sets `webPort`
// to the web client's port, 0 when it is off.
bool ReadWebSettings(server::ServerOptions& options, std::uint16_t& webPort, std::string& message) {
  web::WebOptions web;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_WEB_PORT", web.port, bad))
    return Invalid("PELTHOLLOW_WEB_PORT", bad, message);
  webPort = web.port;
  if (web.port == 0) return true;
  if (const char* origins = Setting("PELTHOLLOW_WEB_ORIGINS")) web.origins = web::SplitOrigins(origins);
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
  if (!net::PortFromEnvironment("PELTHOLLOW_TELNET_PORT", telnet.port, bad))
    return Invalid("PELTHOLLOW_TELNET_PORT", bad, message);
  if (telnet.port == 0) return true;
  telnet.webPort = webPort;
  telnet.playersInPlay = [] {
    std::lock_guard<server::FairLock> guard(server::ConnectionLock);
    return world::InPlay().size();
  };
  options.startDoors = [before = std::move(options.startDoors), telnet] {
    return (!before || before()) && telnet::StartTelnetDoor(telnet);
  };
  return true;
}

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  std::uint16_t webPort = 0;
  return ReadLimits(options.limits, message) && ReadWebSettings(options, webPort, message) &&
         ReadTelnetSettings(options, webPort, message);
}

}  // namespace app
