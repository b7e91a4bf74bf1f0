// The terminal client's end of TLS: one ClientSession per connection to a server,
// which checks the server's certificate chain and name before any plaintext flows. Used
// by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/status.h"
#include "tls/tls_session.h"

namespace tls {

namespace detail {
class BioMethod;
}

// During the handshake a client session takes at most this much ciphertext: enough for
// a long certificate chain (OpenSSL itself allows a chain of up to 100 KiB).
inline constexpr std::size_t kMaxClientHandshakeBytes = 128 * 1024;

struct ClientOptions {
  // The server's name or IP address as the user gave it ("pelthollow.example",
  // "192.0.2.7", "2001:db8::7" or "[2001:db8::7]"): the certificate must be for it, and
  // a name goes to the server in SNI.
  std::string host;
  // A PEM file of the authorities to trust instead of the system's (PELTHOLLOW_TLS_CA);
  // empty: the system's trust store.
  std::string caFile;
};

class ClientSession : public Session {
 public:
  // Makes a session that trusts the authorities of `options` and checks the server
  // against its host, and starts the handshake: the ClientHello waits in the output.
  // A certificate that does not verify fails the session with "certificate verify
  // failed: " and OpenSSL's reason ("unable to get local issuer certificate",
  // "hostname mismatch", "IP address mismatch"). On success sets `session`; on failure
  // (no host, the CA file unreadable or holding no certificate, no trust store) returns
  // the Status and leaves `session` untouched.
  static base::Status Make(const ClientOptions& options, std::unique_ptr<ClientSession>& session);

 private:
  ClientSession(ssl_st* ssl, std::shared_ptr<const detail::BioMethod> method);
};

}  // namespace tls
