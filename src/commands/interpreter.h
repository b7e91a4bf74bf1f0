// The command interpreter's one entry. It runs on the input thread with ConnectionLock
// held.
#pragma once

#include <string>

#include "net/socket.h"

namespace commands {

using net::Socket;

// Logs the line, runs the command it names for `connection`, and flushes the Outbox,
// whatever the outcome. REQUIRES: ConnectionLock held.
void HandleLine(Socket connection, const std::string& line);

// What the interpreter keeps of a connection between lines. Only what the sound
// handling of failed logins needs: the game itself keeps nothing per connection.
struct Session {
  int failedLogins = 0;
  bool endRequested = false;  // the server should end this connection now
};

// The session of `connection`, made on first use. REQUIRES: ConnectionLock held.
Session& SessionOf(Socket connection);

// True when the interpreter asked for `connection` to be ended.
bool EndRequested(Socket connection);

// Forgets everything the interpreter kept of an ended connection.
void ForgetSession(Socket connection);

// Forgets every session (tests that start from empty tables).
void ForgetAllSessions();

}  // namespace commands
