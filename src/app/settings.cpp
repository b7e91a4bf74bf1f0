#include "app/settings.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/admin_client.h"
#include "base/number.h"
#include "base/password.h"
#include "net/socket.h"
#include "web/web_rules.h"

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
  if (!base::ReadDigits(std::string_view(value), ~0u, limit)) return Invalid(name, value, message);
  return true;
}

bool ReadLimits(connection::AddressLimits& limits, std::string& message) {
  if (const char* trusted = Setting("PELTHOLLOW_TRUSTED")) {
    if (!base::ParseBlocks(trusted, limits.trusted)) return Invalid("PELTHOLLOW_TRUSTED", trusted, message);
  }
  if (const char* proxies = Setting("PELTHOLLOW_PROXIES")) {
    if (!base::ParseBlocks(proxies, limits.proxies)) return Invalid("PELTHOLLOW_PROXIES", proxies, message);
  }
  return ReadLimit("PELTHOLLOW_MAX_CONNECTIONS", limits.maxConnections, message) &&
         ReadLimit("PELTHOLLOW_MAX_FAILED_LOGINS", limits.maxFailedLogins, message) &&
         ReadLimit("PELTHOLLOW_MAX_NEW_CHARACTERS", limits.maxNewCharacters, message) &&
         ReadLimit("PELTHOLLOW_MAX_LINES_PER_SECOND", limits.maxLinesPerSecond, message);
}

bool ReadPort(const char* name, std::uint16_t& port, std::string& message) {
  std::string bad;
  if (!net::PortFromEnvironment(name, port, bad)) return Invalid(name, bad, message);
  return true;
}

// PELTHOLLOW_MAX_MEMORY (MiB of unsent output and waiting input, all connections) and
// PELTHOLLOW_LOGIN_SECONDS (0: no limit).
bool ReadCaps(connection::Caps& caps, std::string& message) {
  if (const char* memory = Setting("PELTHOLLOW_MAX_MEMORY")) {
    std::size_t mebibytes = 0;
    if (!base::ReadDigits(std::string_view(memory), std::size_t{1} << 20, mebibytes) || mebibytes == 0)
      return Invalid("PELTHOLLOW_MAX_MEMORY", memory, message);
    caps.maxBufferedBytes = mebibytes << 20;
  }
  if (const char* login = Setting("PELTHOLLOW_LOGIN_SECONDS")) {
    unsigned seconds = 0;
    if (!base::ReadDigits(std::string_view(login), 24u * 3600, seconds))
      return Invalid("PELTHOLLOW_LOGIN_SECONDS", login, message);
    caps.loginWithin = std::chrono::seconds(seconds);
  }
  return true;
}

// PELTHOLLOW_METRICS_ADDRESS: one address (127.0.0.1 unless set).
bool ReadMetricsAddress(base::Address& address, std::string& message) {
  const char* value = Setting("PELTHOLLOW_METRICS_ADDRESS");
  if (value == nullptr) return true;
  if (!base::ParseAddress(value, address)) return Invalid("PELTHOLLOW_METRICS_ADDRESS", value, message);
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

// PELTHOLLOW_TLS_CERT and PELTHOLLOW_TLS_KEY: the files; whether they load is the
// server's to find out, at its start.
void ReadTlsFiles(server::ServerSettings& settings) {
  if (const char* certificate = Setting("PELTHOLLOW_TLS_CERT")) settings.tlsCertificate = certificate;
  if (const char* key = Setting("PELTHOLLOW_TLS_KEY")) settings.tlsKey = key;
}

}  // namespace

bool ReadServerSettings(server::ServerSettings& settings, std::string& message) {
  if (const char* origins = Setting("PELTHOLLOW_WEB_ORIGINS")) settings.webOrigins = web::SplitOrigins(origins);
  ReadTlsFiles(settings);
  settings.consolePath = AdminSocketPath();
  return ReadLimits(settings.limits, message) && ReadCaps(settings.caps, message) &&
         ReadPort("PELTHOLLOW_WEB_PORT", settings.webPort, message) &&
         ReadPort("PELTHOLLOW_TELNET_PORT", settings.telnetPort, message) &&
         ReadPort("PELTHOLLOW_TLS_PORT", settings.tlsPort, message) &&
         ReadPort("PELTHOLLOW_TELNET_TLS_PORT", settings.telnetTlsPort, message) &&
         ReadPort("PELTHOLLOW_WEB_TLS_PORT", settings.webTlsPort, message) &&
         ReadPort("PELTHOLLOW_METRICS_PORT", settings.metricsPort, message) &&
         ReadMetricsAddress(settings.metricsAddress, message) && ReadPasswordSettings(message);
}

}  // namespace app
