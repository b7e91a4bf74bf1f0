// The operator's console on the server's side: a Unix socket that only the server's
// own user may use, one command a connection, answered with text. Used by the accept
// thread alone, which polls the console's socket beside the listeners.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "net/socket.h"

namespace server {

// A command line is at most this long; a longer one is answered "Command too long.".
inline constexpr std::size_t kMaxAdminCommandBytes = 4096;

// Opens the console's socket at `path`, mode 0600. A socket file that nobody answers
// on (left by a server that died) is removed first; one that a live server answers on
// is left alone and fails with EADDRINUSE. On failure returns false with `error` set
// (errno) and leaves no socket open.
bool OpenAdminSocket(const std::string& path, net::Socket& listening, int& error);

// Takes one connection waiting on `listening` and serves it: a peer of another user is
// turned away, otherwise the command (one line) is read within a few seconds, given to
// `run` (which takes ConnectionLock itself), and its answer written back before the close.
// Connections that arrive meanwhile are told "Another console command is running.".
void ServeAdminConnection(net::Socket listening,
                          const std::function<std::string(std::string_view)>& run);

// The client's side: sends `command` to the console at `path` and sets `answer` to
// what the server wrote back. False with `error` set (errno) when it cannot be reached.
bool SendAdminCommand(const std::string& path, std::string_view command, std::string& answer,
                      int& error);

}  // namespace server
