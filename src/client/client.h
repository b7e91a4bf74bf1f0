// The terminal client: asks for a host, connects and runs the screen and line editor.
#pragma once

#include <cstdint>

namespace client {

// Asks for the server's host on standard input and plays on it at `port`.
// Returns the process exit code: 0 after a reported failure to connect, after the end
// of the connection or of standard input.
int StartClient(std::uint16_t port);

}  // namespace client
