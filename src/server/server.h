// Server start-up and main loop: the listening socket, the accept and input threads
// and the world tick every 5 seconds on the main thread.
#pragma once

#include <cstdint>

namespace server {

// Opens the listening socket on `port` and runs the server. Returns only after a
// start-up failure, which it has reported.
void StartServer(std::uint16_t port);

}  // namespace server
