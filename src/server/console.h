// The operator's console on the server's side: the line handler of the console's door
// (its codec is codecs/console_codec.h), which runs one command a connection and
// answers with text and an exit code. Several operators may be connected at once; a
// command whose work takes a while (a save, a password's hash) is answered when it is
// done, without holding up anyone else. Runs on the input thread with ConnectionLock
// held, like every line handler.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "connection/connection_layer.h"
#include "server/countdown.h"
#include "server/game.h"

namespace server {

// What a console command answers: its text (lines, each ending in a line feed) and
// its exit code: 0 when it did what the text says, 1 when it was refused or failed, 2
// for a format line or an unknown command.
struct ConsoleAnswer {
  std::string text;
  int code = 0;
  std::string logged = {};  // the log's text of the answer when not its first line (a secret)
};

class Console final : public connection::LineHandler {
 public:
  // Each must outlive the console.
  Console(connection::ConnectionLayer& layer, Countdown& countdown, Game& game)
      : layer_(layer), countdown_(countdown), game_(game) {}

  void Admitted(core::Socket connection, const connection::Peer& peer) override;
  bool Line(core::Socket connection, const std::string& line) override;
  void Ended(core::Socket connection) override;

  // Sends `answer` to the console connection `connection`, and logs its exit code and
  // first line with the operator's user ("Admin by root, exit 0: Kicked Ash.").
  // REQUIRES: ConnectionLock held.
  void Reply(core::Socket connection, const ConsoleAnswer& answer);

  // For a command answered later: holds `connection` (the console's only line) and
  // returns what sends the answer; call it once, from any thread, no lock needed. The
  // answer is logged as Reply logs it even when the operator has gone meanwhile.
  // REQUIRES: ConnectionLock held (for the call of Later itself).
  std::function<void(ConsoleAnswer)> Later(core::Socket connection);

  connection::ConnectionLayer& Layer() { return layer_; }
  Countdown& Shutdown() { return countdown_; }
  Game& Served() { return game_; }  // the game the console's commands act on

  // What "upgrade [announcement]" does: the server's upgrade (server/upgrade.h). Set
  // once before the threads start; none in a console without a server to upgrade.
  using UpgradeCommand = std::function<std::optional<ConsoleAnswer>(core::Socket connection,
                                                                    std::string announcement)>;
  void SetUpgrade(UpgradeCommand upgrade) { upgrade_ = std::move(upgrade); }
  const UpgradeCommand& Upgrade() const { return upgrade_; }

 private:
  connection::ConnectionLayer& layer_;
  Countdown& countdown_;
  Game& game_;
  // The operator's user of `connection`, by name ("uid 1000" when it has none).
  std::string UserOf(core::Socket connection) const;

  std::unordered_map<core::Socket, int> users_;  // each connection's peer user
  UpgradeCommand upgrade_;
};

// Runs one console command line for `connection` on `console`. Returns its answer, or
// nothing when the command answers later (through Console::Later or the worker).
// REQUIRES: ConnectionLock held.
std::optional<ConsoleAnswer> RunConsoleCommand(Console& console, core::Socket connection,
                                               std::string_view line);

}  // namespace server
