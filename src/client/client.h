// The terminal client: asks for a host, connects, and then either drives the screen
// (an output area above a line editor on the last row) or prints plain lines: in plain
// mode on a terminal (asked for, or TERM is dumb) it reads the keys itself and echoes
// the line being typed after the texts; through pipes it reads lines. Runs on the
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
// (reported on a line of its own unless the end of the input asked for it: the end of
// standard input through pipes, Ctrl-D on an empty line in plain mode). `plain` asks for plain
// mode on a terminal that could show the full screen (client::ChooseTerminalUse).
// SIGINT, SIGTERM and SIGHUP, when the client reads the keys itself, give the terminal
// back and then end the process as the signal does.
int StartClient(std::uint16_t port, bool plain);

}  // namespace client
