// A thin layer over POSIX sockets: listeners of both IP families and of Unix sockets,
// accepting, and the few socket options the server sets. Every call returns a status
// (base::Status: the step that failed and the errno value); logging is the caller's
// business. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/address.h"
#include "base/status.h"
#include "core/socket_handle.h"

namespace net {

// A connection's descriptor. The server keys its tables by it and prints it as an
// unsigned decimal number.

inline constexpr std::uint16_t kDefaultPort = 61234;

// A port from the environment variable `name` (PELTHOLLOW_PORT, the game port both
// roles use, or the port of a door). When it is set to decimal digits for a value from
// 1 to 65535, sets `port` and returns ok; unset, returns ok and leaves `port` as it is;
// set to anything else, leaves `port` and fails with the line the operator is shown,
// without its line feed: "Invalid PELTHOLLOW_PORT: 80a".
base::Status PortFromEnvironment(const char* name, std::uint16_t& port);

// Opens a non-blocking, close-on-exec listening TCP socket on `port`, with
// SO_REUSEADDR: on every address of both families when `address` is null (one
// dual-stack socket; IPv4 alone where the system has no IPv6), else on that address
// alone. On failure nothing stays open and the status's text names the step:
// "Error creating server socket: ", "Error binding server socket: ", "Error setting
// async mode: " or "Error listening: ", with the errno value.
base::Status ListenTcp(const base::Address* address, std::uint16_t port, core::Socket& out);

// Opens a non-blocking, close-on-exec listening Unix stream socket at `path`, made
// with mode 0600 from the start. A socket file that nobody answers on (left by a server
// that died) is replaced; one that a live server answers on is left alone and fails
// with EADDRINUSE. On failure nothing stays open.
base::Status ListenUnix(const std::string& path, core::Socket& out);

// A connection taken from a listener.
struct Accepted {
  core::Socket socket = core::kNoSocket;
  base::Address peer;    // the client's address (none for a Unix socket)
  base::Address local;   // the address the client reached
  std::uint16_t localPort = 0;
  int uid = -1;          // on a Unix socket, the peer's user
};

// Accepts one waiting connection, non-blocking and close-on-exec. Ok with `out.socket`
// set; ok with core::kNoSocket when none is waiting; otherwise the errno of accept.
base::Status AcceptOne(core::Socket listening, Accepted& out);

// Sends small frames at once, and keeps at most `sendBuffer` bytes in the kernel for
// an accepted TCP connection. Best effort.
void TuneAccepted(core::Socket s, int sendBuffer);

// Sends all of `bytes` on a socket (no SIGPIPE), or writes them to any descriptor (a
// file, a pipe, a terminal), going on after a signal and waiting while a non-blocking
// descriptor is full; fails with the errno of the call that failed.
base::Status SendAll(core::Socket s, std::string_view bytes);
base::Status WriteAll(int fd, std::string_view bytes);

void CloseSocket(core::Socket s);

}  // namespace net
