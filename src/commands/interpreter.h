// The command interpreter: its one entry for the lines of every player, and what it
// keeps between lines (each connection's session, the mutes, the game's limits per
// address, the login counts). The server makes one at start over its world, its Outbox,
// its worker and its bans, and hands it every line; a test makes a fresh one. It runs
// on the input thread with ConnectionLock held, which guards all it keeps but the
// counts, which any thread may read.
#pragma once

#include <string>

#include "commands/allowances.h"
#include "commands/logins.h"
#include "commands/mutes.h"
#include "commands/sessions.h"
#include "connection/bans.h"
#include "core/outbox.h"
#include "core/socket_handle.h"
#include "core/worker.h"
#include "world/world.h"

namespace commands {

struct Context;

class Interpreter {
 public:
  // Each must outlive the interpreter.
  Interpreter(world::World& world, core::Outbox& outbox, core::Worker& worker,
              const connection::BanList& bans)
      : world_(world), outbox_(outbox), worker_(worker), bans_(bans) {}
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // Logs the line, runs the command it names for `connection`, and flushes the Outbox,
  // whatever the outcome. A line that is not UTF-8 runs nothing: it is answered that it
  // is not. REQUIRES: ConnectionLock held.
  void HandleLine(core::Socket connection, const std::string& line);

  // The client of `connection` asked for screen-reader mode: it is turned on and the
  // player told so, unless it is on already. REQUIRES: ConnectionLock held.
  void ScreenReaderAsked(core::Socket connection);

  // Forgets everything kept of an ended connection: its session and what its speech
  // cost. REQUIRES: ConnectionLock held.
  void Forget(core::Socket connection);

  // What a handler of `connection`'s line works on (commands/handlers.h).
  Context ContextOf(core::Socket connection);

  Sessions sessions;
  Mutes mutes;
  Allowances allowances{sessions};
  LoginCounts logins;

 private:
  world::World& world_;
  core::Outbox& outbox_;
  core::Worker& worker_;
  const connection::BanList& bans_;
};

}  // namespace commands
