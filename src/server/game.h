// The game as the server runs it: the line handler of the game's doors (the game port,
// telnet, the web client), the world's load at start, its tick every 5 seconds, its
// saves, and its part of an upgrade. It owns the interpreter (what it keeps between
// lines) and the conversion of plain passwords, and works on the world and the server's
// parts the running server hands it. All of it runs with ConnectionLock held.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "commands/interpreter.h"
#include "connection/connection_layer.h"
#include "core/worker.h"
#include "persist/plain_passwords.h"
#include "persist/saver.h"
#include "server/metrics.h"
#include "server/upgrade_state.h"
#include "web/web_rules.h"
#include "world/world.h"

namespace server {

class Game final : public connection::LineHandler {
 public:
  // Each must outlive the game.
  Game(world::World& world, connection::ConnectionLayer& layer, core::Worker& worker,
       persist::Saver& saver, Metrics& metrics)
      : world_(world),
        layer_(layer),
        worker_(worker),
        saver_(saver),
        metrics_(metrics),
        interpreter_(world, layer.Outbox(), worker, layer.Bans()),
        passwords_(world.characters, worker) {}
  Game(const Game&) = delete;
  Game& operator=(const Game&) = delete;

  void Admitted(core::Socket connection, const connection::Peer& peer) override;
  bool Line(core::Socket connection, const std::string& line) override;
  void Ended(core::Socket connection) override;
  void ScreenReaderAsked(core::Socket connection) override;
  std::string Holder(core::Socket connection) const override;
  bool InPlay(core::Socket connection) const override;

  // Gives the game the limits the layer holds to, loads the save file and the bans,
  // says what it loaded ("Loaded 12 characters and 3 bans."), and starts the saver and
  // the worker (whose answers the layer runs). With `worldTaken`, the world came from
  // an upgrade's state and the save file is not read. REQUIRES: ConnectionLock held;
  // once, before any connection is taken.
  void Load(bool worldTaken = false);

  // The world tick and what rides on it: hashing plain passwords, saving what changed
  // (a failed save is tried again every tick), expiring bans, pruning the limits, and
  // whether new characters can be kept. `tick` counts the ticks since start, from 1.
  // REQUIRES: ConnectionLock held.
  void Tick(std::uint64_t tick);

  // The world's save in the background, timed into the metrics (Metrics::SaveTimed).
  // REQUIRES: ConnectionLock held.
  void Save(persist::SaveDone done = nullptr);

  // Everything measured, for a scrape of the metrics door (Metrics::Render).
  // REQUIRES: ConnectionLock held.
  std::string RenderMetrics(const std::vector<std::string>& doors, web::MetricsFormat format) const;

  // The game's part of an upgrade's state: the world, the screen-reader modes and what
  // the interpreter keeps. REQUIRES: ConnectionLock held.
  void Carry(UpgradeState& state) const;
  // Takes the game's part up again in the new process, for the connections in `live`
  // (the world itself was taken up as the state was read, TakeUpgradeState); a
  // character whose connection did not come over leaves play, as at any end.
  // REQUIRES: ConnectionLock held.
  void Adopt(const UpgradeState& state, const std::set<core::Socket>& live);

  world::World& World() { return world_; }
  const world::World& World() const { return world_; }
  commands::Interpreter& Interpreter() { return interpreter_; }
  core::Worker& Worker() { return worker_; }
  persist::Saver& Saver() { return saver_; }
  Metrics& Measured() { return metrics_; }

 private:
  world::World& world_;
  connection::ConnectionLayer& layer_;
  core::Worker& worker_;
  persist::Saver& saver_;
  Metrics& metrics_;
  commands::Interpreter interpreter_;
  persist::PasswordConversion passwords_;
  bool keptLast_ = true;  // whether new characters could be kept at the last tick
};

}  // namespace server
