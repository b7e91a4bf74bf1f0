#include "app/settings.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>
#include <utility>

#include "net/socket.h"
#include "app/metrics.h"
#include "base/password.h"
#include "telnet/telnet_codec.h"
#include "web/metrics_codec.h"
#include "web/web_codec.h"
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
  std::uint16_t port = 0;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_WEB_PORT", port, bad))
    return Invalid("PELTHOLLOW_WEB_PORT", bad, message);
  webPort = port;
  if (port == 0) return true;
  web::WebCodecOptions web;
  if (const char* origins = Setting("PELTHOLLOW_WEB_ORIGINS")) web.origins = web::SplitOrigins(origins);
  server::Door door;
  door.port = port;
  door.opened = "Web client on port " + std::to_string(port) + ".";
  door.bindFailed = "Error binding web client port: ";
  door.name = "web client";
  door.makeCodec = web::WebCodecMaker(std::move(web));
  options.doors.push_back(std::move(door));
  return true;
}

// PELTHOLLOW_TELNET_PORT (unset: no telnet port). `webPort` is the web client's port,
// which the telnet port names to status crawlers; 0 when the web client is off.
bool ReadTelnetSettings(server::ServerOptions& options, std::uint16_t webPort,
                        std::string& message) {
  std::uint16_t port = 0;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_TELNET_PORT", port, bad))
    return Invalid("PELTHOLLOW_TELNET_PORT", bad, message);
  if (port == 0) return true;
  // Read by every telnet connection's codec for as long as the process runs.
  auto* telnet = new telnet::TelnetOptions();
  telnet->port = port;
  telnet->webPort = webPort;
  telnet->startTime = static_cast<std::int64_t>(std::time(nullptr));
  telnet->playersInPlay = [] { return world::InPlay().size(); };
  server::Door door;
  door.port = port;
  door.opened = "Telnet port " + std::to_string(port) + ".";
  door.bindFailed = "Error binding telnet port: ";
  door.name = "telnet";
  door.makeCodec = [telnet](net::Socket socket) {
    return std::make_unique<telnet::TelnetCodec>(*telnet, socket);
  };
  options.doors.push_back(std::move(door));
  return true;
}

// PELTHOLLOW_METRICS_PORT (unset: no metrics) and PELTHOLLOW_METRICS_ADDRESS (the
// address it listens on, 127.0.0.1 unless set).
bool ReadMetricsSettings(server::ServerOptions& options, std::string& message) {
  std::uint16_t port = 0;
  std::string bad;
  if (!net::PortFromEnvironment("PELTHOLLOW_METRICS_PORT", port, bad))
    return Invalid("PELTHOLLOW_METRICS_PORT", bad, message);
  if (port == 0) return true;
  server::Door door;
  door.port = port;
  door.address = 0x7F000001u;
  if (const char* address = Setting("PELTHOLLOW_METRICS_ADDRESS")) {
    std::vector<server::AddressBlock> one;
    if (!server::ParseAddressBlocks(address, one) || one.size() != 1 || one[0].mask != ~0u)
      return Invalid("PELTHOLLOW_METRICS_ADDRESS", address, message);
    door.address = one[0].network;
  }
  door.opened = "Metrics on " + server::AddressText(door.address) + " port " + std::to_string(port) + ".";
  door.bindFailed = "Error binding metrics port: ";
  door.name = "metrics";
  door.makeCodec = web::MetricsCodecMaker([] { return RenderMetrics(); });
  options.doors.push_back(std::move(door));
  return true;
}

// PELTHOLLOW_CHEAP_PASSWORD_HASHES=1: hashes that protect nothing, so that tests and
// benchmarks can create thousands of characters quickly. Said at start.
bool ReadPasswordSettings(std::string& message) {
  const char* cheap = Setting("PELTHOLLOW_CHEAP_PASSWORD_HASHES");
  if (cheap == nullptr) return true;
  if (std::string_view(cheap) != "1") return Invalid("PELTHOLLOW_CHEAP_PASSWORD_HASHES", cheap, message);
  base::UseCheapPasswordHashes();
  return true;
}

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  std::uint16_t webPort = 0;
  return ReadLimits(options.limits, message) && ReadWebSettings(options, webPort, message) &&
         ReadTelnetSettings(options, webPort, message) && ReadMetricsSettings(options, message) &&
         ReadPasswordSettings(message);
}

}  // namespace app
