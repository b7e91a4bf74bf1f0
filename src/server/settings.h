// What the operator chose for a run of the server: the ports of its doors, the limits
// and the other settings from the environment (app/environment.h reads them). A plain
// record, filled once on the main thread before any other thread exists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/address.h"
#include "connection/address_limits.h"
#include "connection/caps.h"
#include "core/socket_handle.h"

namespace server {

inline constexpr std::uint16_t kDefaultPort = 61234;

struct ServerSettings {
  std::uint16_t port = kDefaultPort;  // the game port (PELTHOLLOW_PORT)
  connection::AddressLimits limits;
  connection::Caps caps;  // PELTHOLLOW_MAX_MEMORY, PELTHOLLOW_LOGIN_SECONDS; the rest from the system
  std::uint16_t webPort = 0;      // PELTHOLLOW_WEB_PORT; 0: no web client
  std::vector<std::string> webOrigins;  // PELTHOLLOW_WEB_ORIGINS: let in besides the page's own
  std::uint16_t telnetPort = 0;   // PELTHOLLOW_TELNET_PORT; 0: no telnet port
  std::uint16_t metricsPort = 0;  // PELTHOLLOW_METRICS_PORT; 0: no metrics
  // The TLS twins of the doors (0: none), and the certificate (PEM, full chain) and key
  // they all use.
  std::uint16_t tlsPort = 0;        // PELTHOLLOW_TLS_PORT: the game protocol over TLS
  std::uint16_t telnetTlsPort = 0;  // PELTHOLLOW_TELNET_TLS_PORT
  std::uint16_t webTlsPort = 0;     // PELTHOLLOW_WEB_TLS_PORT: the page over HTTPS
  std::string tlsCertificate;       // PELTHOLLOW_TLS_CERT
  std::string tlsKey;               // PELTHOLLOW_TLS_KEY
  base::Address metricsAddress = base::Address::V4(0x7F000001u);  // PELTHOLLOW_METRICS_ADDRESS
  std::string consolePath = "pelthollow.sock";  // PELTHOLLOW_ADMIN_SOCKET

  bool AnyTls() const { return tlsPort != 0 || telnetTlsPort != 0 || webTlsPort != 0; }
};

}  // namespace server
