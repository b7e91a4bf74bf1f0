// Everything the server's threads share: one per process, made once at start and never
// freed, since the threads it starts run until the process ends (or execs its next
// build).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/connection_layer.h"
#include "server/certificates.h"
#include "server/console.h"
#include "server/countdown.h"
#include "server/doors.h"
#include "server/game.h"
#include "server/settings.h"
#include "server/standstill.h"
#include "world/world.h"

namespace server {

struct Running {
  explicit Running(const ServerSettings& settings)
      : settings(settings),
        layer(settings.limits, settings.caps),
        game(world, layer.Outbox()),
        countdown(layer, {[] { return SaveGameBeforeExit(); }, settings.consolePath}),
        console(layer, countdown, game) {}

  const ServerSettings settings;
  std::string executable;  // this process's executable, as it was when the process began
  connection::ConnectionLayer layer;  // the connections, and the Outbox the game fills
  world::World world;
  Game game;
  Countdown countdown;
  Console console;
  Certificates certificates;
  Standstill standstill;            // the accept and signal threads, during an upgrade
  std::vector<Listener> listeners;  // filled before the threads start, read-only afterwards
  // The world tick's place. Guarded by ConnectionLock.
  std::uint64_t ticks = 0;                           // ticks run so far
  std::chrono::steady_clock::time_point nextTick{};  // when the next is due
};

}  // namespace server
