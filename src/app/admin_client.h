// `pelthollow admin WORDS...`: the operator's side of the console. It sends one
// command line to the running server's console socket and prints the answer. Runs on
// the main thread of its own process.
#pragma once

#include <string>

namespace app {

// Where the console's socket is: PELTHOLLOW_ADMIN_SOCKET, or "pelthollow.sock" in the
// working folder, beside the save file.
std::string AdminSocketPath();

// Sends the words joined by blanks ("help" when there are none) and prints the answer.
// Without PELTHOLLOW_ADMIN_SOCKET and without a socket in the working folder, the
// service's /run/pelthollow/pelthollow.sock is used when it exists. Returns the
// command's exit code (0 it did what it says, 1 refused or failed, 2 a format line or
// an unknown command); 1, with a message, when the server cannot be reached: for a
// socket of another user, "Only the server's user may use its console; try: sudo -u
// USER pelthollow admin ..." with the socket's owner for USER.
int RunAdminClient(int argc, const char* const* argv);

}  // namespace app
