// The command interpreter: its one entry, for the lines of every player. The server
// makes one at start over its world and its Outbox and hands it every line; a test
// makes a fresh one. It runs on the input thread with ConnectionLock held.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/address.h"
#include "core/outbox.h"
#include "core/socket_handle.h"
#include "world/world.h"

namespace commands {

using core::Socket;

struct Context;

class Interpreter {
 public:
  // `world` and `outbox` must outlive the interpreter.
  Interpreter(world::World& world, core::Outbox& outbox) : world_(world), outbox_(outbox) {}
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // Logs the line, runs the command it names for `connection`, and flushes the Outbox,
  // whatever the outcome. A line that is not UTF-8 runs nothing: it is answered that it
  // is not. REQUIRES: ConnectionLock held.
  void HandleLine(Socket connection, const std::string& line);

  // The client of `connection` asked for screen-reader mode: it is turned on and the
  // player told so, unless it is on already. REQUIRES: ConnectionLock held.
  void ScreenReaderAsked(Socket connection);

  // What a handler of `connection`'s line works on (commands/handlers.h).
  Context ContextOf(Socket connection);

 private:

  world::World& world_;
  core::Outbox& outbox_;
};

// What the interpreter keeps of a connection between lines: its address for the
// limits, and what the sound handling of failed logins needs. The game itself keeps
// nothing per connection.
struct Session {
  base::Address key;          // the limit key of the connection's address
  bool limited = false;       // held to the address limits
  int failedLogins = 0;
  bool endRequested = false;  // the server should end this connection now
  bool secretNext = false;    // its last line was a setup or login without a password:
                              // the next one is logged as "***" (commands/logged_line.h)
};

// A connection was admitted from an address counted under `key`. REQUIRES:
// ConnectionLock held.
void BeginSession(Socket connection, const base::Address& key, bool limited);

// The session of `connection`, made on first use. REQUIRES: ConnectionLock held.
Session& SessionOf(Socket connection);
// The session of `connection`, or nullptr when it has none. REQUIRES: ConnectionLock held.
const Session* FindSession(Socket connection);

// True when the interpreter asked for `connection` to be ended.
bool EndRequested(Socket connection);

// Forgets everything the interpreter kept of an ended connection.
void ForgetSession(Socket connection);

// Forgets every session (tests that start from empty tables).
void ForgetAllSessions();

// Every session, for an upgrade, and the sessions made again from them in the new
// process. REQUIRES: ConnectionLock held.
std::vector<std::pair<Socket, Session>> CarrySessions();
void AdoptSessions(const std::vector<std::pair<Socket, Session>>& sessions);

}  // namespace commands
