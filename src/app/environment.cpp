#include "app/environment.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "app/admin_client.h"
#include "base/number.h"
#include "base/password.h"
#include "net/socket.h"
#include "web/web_rules.h"

namespace app {

namespace {

// The value of `name`, or nullptr when it is unset.
const char* Setting(const char* name) { return std::getenv(name); }

base::Status Invalid(const char* name, std::string_view value) {
  return base::Status::Failure(std::string("Invalid ") + name + ": " + std::string(value));
}

// A limit: decimal digits only, 0 for no limit. Unset keeps `limit` as it is.
base::Status ReadLimit(const char* name, unsigned& limit) {
  const char* value = Setting(name);
  if (value == nullptr || base::ReadDigits(std::string_view(value), ~0u, limit)) return {};
  return Invalid(name, value);
}

base::Status ReadLimits(connection::AddressLimits& limits) {
  if (const char* trusted = Setting("PELTHOLLOW_TRUSTED")) {
    if (!base::ParseBlocks(trusted, limits.trusted)) return Invalid("PELTHOLLOW_TRUSTED", trusted);
  }
  if (const char* proxies = Setting("PELTHOLLOW_PROXIES")) {
    if (!base::ParseBlocks(proxies, limits.proxies)) return Invalid("PELTHOLLOW_PROXIES", proxies);
  }
  for (const auto& [name, limit] : {std::pair{"PELTHOLLOW_MAX_CONNECTIONS", &limits.maxConnections},
                                    std::pair{"PELTHOLLOW_MAX_FAILED_LOGINS", &limits.maxFailedLogins},
                                    std::pair{"PELTHOLLOW_MAX_NEW_CHARACTERS", &limits.maxNewCharacters},
                                    std::pair{"PELTHOLLOW_MAX_LINES_PER_SECOND", &limits.maxLinesPerSecond},
                                    std::pair{"PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND", &limits.maxHandshakesPerSecond}}) {
    if (base::Status read = ReadLimit(name, *limit); !read.ok()) return read;
  }
  return {};
}

// PELTHOLLOW_MAX_MEMORY (MiB of unsent output and waiting input, all connections) and
// PELTHOLLOW_LOGIN_SECONDS (0: no limit).
base::Status ReadCaps(connection::Caps& caps) {
  if (const char* memory = Setting("PELTHOLLOW_MAX_MEMORY")) {
    std::size_t mebibytes = 0;
    if (!base::ReadDigits(std::string_view(memory), std::size_t{1} << 20, mebibytes) || mebibytes == 0)
      return Invalid("PELTHOLLOW_MAX_MEMORY", memory);
    caps.maxBufferedBytes = mebibytes << 20;
  }
  if (const char* login = Setting("PELTHOLLOW_LOGIN_SECONDS")) {
    unsigned seconds = 0;
    if (!base::ReadDigits(std::string_view(login), 24u * 3600, seconds))
      return Invalid("PELTHOLLOW_LOGIN_SECONDS", login);
    caps.loginWithin = std::chrono::seconds(seconds);
  }
  return {};
}

// PELTHOLLOW_MAX_SPEECH_HEARD (KiB of speech heard a second that one address's lines
// may cost) and PELTHOLLOW_MAX_CELL_SPEECH (KiB one cell may be told a second); 0: no
// limit.
base::Status ReadSpeechLimits(server::ServerSettings& settings) {
  if (base::Status read = ReadLimit("PELTHOLLOW_MAX_SPEECH_HEARD", settings.limits.maxSpeechHeard);
      !read.ok())
    return read;
  auto cell = static_cast<unsigned>(settings.caps.cellSpeechBytesPerSecond / 1024);
  if (base::Status read = ReadLimit("PELTHOLLOW_MAX_CELL_SPEECH", cell); !read.ok()) return read;
  settings.caps.cellSpeechBytesPerSecond = std::size_t{cell} * 1024;
  return {};
}

// PELTHOLLOW_METRICS_ADDRESS: one address (127.0.0.1 unless set).
base::Status ReadMetricsAddress(base::Address& address) {
  const char* value = Setting("PELTHOLLOW_METRICS_ADDRESS");
  if (value == nullptr || base::ParseAddress(value, address)) return {};
  return Invalid("PELTHOLLOW_METRICS_ADDRESS", value);
}

// PELTHOLLOW_CHEAP_PASSWORD_HASHES=1: hashes that protect nothing, so that tests and
// benchmarks can create thousands of characters quickly. Said at start.
base::Status ReadPasswordSettings() {
  const char* cheap = Setting("PELTHOLLOW_CHEAP_PASSWORD_HASHES");
  if (cheap == nullptr) return {};
  if (std::string_view(cheap) != "1") return Invalid("PELTHOLLOW_CHEAP_PASSWORD_HASHES", cheap);
  base::UseCheapPasswordHashes();
  return {};
}

// PELTHOLLOW_TLS_CERT and PELTHOLLOW_TLS_KEY: the files; whether they load is the
// server's to find out, at its start.
void ReadTlsFiles(server::ServerSettings& settings) {
  if (const char* certificate = Setting("PELTHOLLOW_TLS_CERT")) settings.tlsCertificate = certificate;
  if (const char* key = Setting("PELTHOLLOW_TLS_KEY")) settings.tlsKey = key;
}

}  // namespace

base::Status ReadServerSettings(server::ServerSettings& settings) {
  if (const char* origins = Setting("PELTHOLLOW_WEB_ORIGINS")) settings.webOrigins = web::SplitOrigins(origins);
  ReadTlsFiles(settings);
  settings.consolePath = AdminSocketPath();
  if (base::Status read = ReadLimits(settings.limits); !read.ok()) return read;
  if (base::Status read = ReadCaps(settings.caps); !read.ok()) return read;
  if (base::Status read = ReadSpeechLimits(settings); !read.ok()) return read;
  for (const auto& [name, port] : {std::pair{"PELTHOLLOW_WEB_PORT", &settings.webPort},
                                   std::pair{"PELTHOLLOW_TELNET_PORT", &settings.telnetPort},
                                   std::pair{"PELTHOLLOW_TLS_PORT", &settings.tlsPort},
                                   std::pair{"PELTHOLLOW_TELNET_TLS_PORT", &settings.telnetTlsPort},
                                   std::pair{"PELTHOLLOW_WEB_TLS_PORT", &settings.webTlsPort},
                                   std::pair{"PELTHOLLOW_METRICS_PORT", &settings.metricsPort}}) {
    if (base::Status read = net::PortFromEnvironment(name, *port); !read.ok()) return read;
  }
  if (base::Status read = ReadMetricsAddress(settings.metricsAddress); !read.ok()) return read;
  return ReadPasswordSettings();
}

}  // namespace app
