// The terminal client: asks for a host, connects, and then either drives the screen
// (an output area above a line editor on the last row) or, when standard input or
// output is not a terminal or TERM is dumb, reads and prints plain lines. Runs on the
// program's main thread; it starts the client's other threads itself.
#pragma once

#include <cstdint>

namespace client {

// Asks for the server on standard input (the next word of std::cin: HOST, HOST:PORT,
// [IPV6]:PORT or a bare IPv6 address, each also after tls://, as client::ParseTarget
// reads it) and plays on it, at `port` when a plain answer names none. Over TLS the
// server's certificate must verify against the system's trust store, or the CA file
// that PELTHOLLOW_TLS_CA names, and be for the host answered. Returns the process exit
// code: 1 after a reported failure before playing (an answer that is no server, a host
// that does not resolve, no address that takes a connection, a server that does not
// verify or speaks no TLS: each said with its code or reason and in words); 0 after the
// end of standard input at the host prompt, and after the end of the connection
// (reported on a line of its own unless line mode expected it).
// SIGINT, SIGTERM and SIGHUP in screen mode give the terminal back and then end the
// process as the signal does.
int StartClient(std::uint16_t port);

}  // namespace client
