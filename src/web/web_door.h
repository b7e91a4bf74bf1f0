// The web door: an HTTP server for the client page, and its WebSocket, through which
// each browser plays as one more connection of the game (doors/game_link.h). Runs on a
// thread of its own with its own io_context; StartWebDoor is called once, on the main
// thread, while the server starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace web {

struct WebOptions {
  std::uint16_t port = 0;            // 0: no web door
  std::vector<std::string> origins;  // origins let in besides the page's own
};

// Listens for HTTP on `options.port` on every IPv4 address, logs "Web client on port
// N." and starts the web thread. On failure prints "Error binding web client port: "
// and the errno value and a line feed, starts nothing and returns false.
bool StartWebDoor(const WebOptions& options);

}  // namespace web
