// The game as the server runs it: the line handler of the game's doors (the game port,
// telnet, the web client), the world's load at start, its tick every 5 seconds and its
// last save. All of it runs with ConnectionLock held.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "commands/interpreter.h"
#include "connection/connection_layer.h"
#include "server/upgrade_state.h"
#include "world/world.h"

namespace server {

class Game final : public connection::LineHandler {
 public:
  // `world` and `outbox` must outlive the game.
  Game(world::World& world, core::Outbox& outbox) : world_(world), outbox_(outbox), interpreter_(world, outbox) {}

  void Admitted(connection::Socket connection, const connection::Peer& peer) override;
  bool Line(connection::Socket connection, const std::string& line) override;
  void Ended(connection::Socket connection) override;
  void ScreenReaderAsked(connection::Socket connection) override;
  std::string Holder(connection::Socket connection) const override;
  bool InPlay(connection::Socket connection) const override;

  // The world tick and what rides on it: hashing plain passwords, saving what changed
  // (a failed save is tried again every tick), expiring bans, pruning the limits, and
  // whether new characters can be kept. `tick` counts the ticks since start, from 1.
  // REQUIRES: ConnectionLock held.
  void Tick(connection::ConnectionLayer& layer, std::uint64_t tick);

  // Gives the game the limits `layer` holds to, builds the map, loads the save file and
  // the bans, says what it loaded ("Loaded 12 characters and 3 bans."), and starts the
  // saver and the worker (whose answers `layer` runs). With `worldTaken`, the world
  // came from an upgrade's state and the save file is not read. REQUIRES:
  // ConnectionLock held; once, before any connection is taken.
  void Load(connection::ConnectionLayer& layer, bool worldTaken = false);

  // The game's part of an upgrade's state: the world, the screen-reader modes and what
  // the interpreter keeps. REQUIRES: ConnectionLock held.
  void Carry(UpgradeState& state) const;
  // Takes the game's part up again in the new process, for the connections in `live`
  // (the world itself was taken up as the state was read, TakeUpgradeState); a
  // character whose connection did not come over leaves play, as at any end.
  // REQUIRES: ConnectionLock held.
  void Adopt(const UpgradeState& state, const std::set<connection::Socket>& live);

  world::World& World() { return world_; }
  const world::World& World() const { return world_; }
  commands::Interpreter& Interpreter() { return interpreter_; }

 private:
  world::World& world_;
  core::Outbox& outbox_;
  commands::Interpreter interpreter_;
  bool keptLast_ = true;  // whether new characters could be kept at the last tick
};

// The save at the end of the process. REQUIRES: ConnectionLock held, and kept.
bool SaveGameBeforeExit();

}  // namespace server
