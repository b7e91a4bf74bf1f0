// The operator's console: the commands of `pelthollow admin`, run by the server on its
// accept thread, and the client side that sends one.
#pragma once

#include <string>
#include <string_view>

namespace app {

// Where the console's socket is: PELTHOLLOW_ADMIN_SOCKET, or "pelthollow.sock" in the
// working folder, beside the save file.
std::string AdminSocketPath();

// Runs one console command line and returns its answer (lines ending in line feeds).
// Logs "Admin: <line>". Takes ConnectionLock; REQUIRES: it is not held.
std::string RunAdminCommand(std::string_view line);

// `pelthollow admin WORDS...`: sends the words joined by blanks, prints the answer.
// Without PELTHOLLOW_ADMIN_SOCKET and without a socket in the working folder, the
// service's /run/pelthollow/pelthollow.sock is used when it exists.
// Returns 0 once the server answered, 1 (with a message) when it cannot be reached.
int RunAdminClient(int argc, const char* const* argv);

}  // namespace app
