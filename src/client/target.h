// Where the client connects: the answer to the host prompt read into a target (how to
// connect, the host, the port), the host resolved to its addresses of both IP families,
// and a TCP connection to the first address that takes one (TLS, if wanted, starts over
// it: client/link.h). Only the client's main thread calls these, before the client's
// other threads start.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "net/socket.h"

namespace client {

// How the client talks to the server. An answer with no prefix is Plain; "tls://" names
// TLS, whose connect step (client/link.h) follows ConnectPlain.
enum class Scheme {
  Plain,  // frames over TCP, nothing around them
  Tls,    // frames over TLS over TCP, the server's certificate verified
};

// The port of a "tls://" answer that names none: the one suggested for the server's TLS
// twin of the game port (PELTHOLLOW_TLS_PORT).
inline constexpr std::uint16_t kDefaultTlsPort = 61235;

struct Target {
  Scheme scheme = Scheme::Plain;
  std::string host;  // a name or an address literal, IPv6 without brackets
  std::uint16_t port = 0;
};

// Reads the answer to the host prompt: HOST, HOST:PORT, [IPV6]:PORT, [IPV6], or a bare
// IPv6 literal (two colons or more and no brackets: all of it is the host, so an IPv6
// address with a port needs the brackets), each also after "tls://" (the scheme in any
// case). A port is decimal digits for 1 to 65535; without one the target gets
// `defaultPort`, or kDefaultTlsPort over TLS. On success sets `target` and returns ok; on
// failure returns a Failure saying in words what is wrong with the answer ("Invalid
// port: 70000 ...", "Invalid server: ...", "Unknown scheme: ..." for any other
// "SCHEME://" prefix) and leaves `target` untouched.
base::Status ParseTarget(std::string_view answer, std::uint16_t defaultPort, Target& target);

// One address of a resolved host, ready for connect().
struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = AF_UNSPEC;
};

// Resolves the target's host and port to its TCP addresses of both IP families, in the
// resolver's order of preference. On success sets `endpoints` and returns ok. On failure
// returns "Error resolving address: " with the resolver's code (as getaddrinfo gives it,
// e.g. -2), sets `words` to what that code means ("Name or service not known") and
// leaves `endpoints` untouched.
base::Status Resolve(const Target& target, std::vector<Endpoint>& endpoints, std::string& words);

// Opens a TCP connection to the first of `endpoints` that takes one, trying each in
// turn. On success sets `socket` (blocking, close on exec) and returns ok. On failure
// closes every socket it made, leaves `socket` untouched, and returns the failure of
// the last connect ("Error connecting: " with errno), or "Error creating client
// socket: " with errno when no socket could be made at all; `words` then says the errno
// value's meaning ("Connection refused").
// REQUIRES: !endpoints.empty().
base::Status ConnectPlain(const std::vector<Endpoint>& endpoints, core::Socket& socket,
                          std::string& words);

}  // namespace client
