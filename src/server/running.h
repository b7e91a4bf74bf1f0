// Everything the server's threads share: one per process, made once at start and never
// freed, since the threads it starts run until the process ends (or execs its next
// build). It owns the game's state (the world, and through the game the interpreter's)
// and the server's own parts, and hands each down to what uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/connection_layer.h"
#include "core/worker.h"
#include "persist/saver.h"
#include "server/certificates.h"
#include "server/console.h"
#include "server/countdown.h"
#include "server/doors.h"
#include "server/game.h"
#include "server/metrics.h"
#include "server/settings.h"
#include "server/standstill.h"
#include "server/upgrade_progress.h"
#include "world/world.h"

namespace server {

struct Running {
  explicit Running(const ServerSettings& settings)
      : settings(settings),
        layer(settings.limits, settings.caps),
        saver(world),
        game(world, layer, worker, saver, metrics),
        countdown(layer, {[this] { return saver.BeforeExit(); }, settings.consolePath}),
        console(layer, countdown, game) {}

  const ServerSettings settings;
  std::string executable;  // this process's executable, as it was when the process began
  int folderLock = -1;  // the descriptor that holds the save folder's lock (persist/folder_lock.h)
  connection::ConnectionLayer layer;  // the connections, their bans, and the Outbox the game fills
  core::Worker worker;
  Metrics metrics;
  world::World world;
  persist::Saver saver;
  Game game;
  Countdown countdown;
  Console console;
  Certificates certificates;
  Standstill standstill;            // the accept and signal threads, during an upgrade
  std::vector<Listener> listeners;  // filled before the threads start, read-only afterwards
  UpgradeProgress upgrade;
  // The world tick's place. Guarded by ConnectionLock.
  std::uint64_t ticks = 0;                           // ticks run so far
  std::chrono::steady_clock::time_point nextTick{};  // when the next is due
};

}  // namespace server
