// The telnet door: a port for MUD clients (Mudlet, TinTin++, plain telnet), through
// which each client plays as one more connection of the game (doors/game_link.h).
// Runs on a thread of its own with its own io_context; StartTelnetDoor is called once,
// on the main thread, while the server starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace telnet {

struct TelnetOptions {
  std::uint16_t port = 0;     // 0: no telnet door
  std::uint16_t webPort = 0;  // the web client's port for status crawlers; 0: none
  // Characters in play now, for status crawlers; called on the telnet thread, without
  // ConnectionLock (the game's side takes what it needs).
  std::function<std::size_t()> playersInPlay;
};

// Listens on `options.port` on every IPv4 address, logs "Telnet port N." and starts
// the telnet thread. On failure prints "Error binding telnet port: " and the errno
// value and a line feed, starts nothing and returns false.
bool StartTelnetDoor(const TelnetOptions& options);

}  // namespace telnet
