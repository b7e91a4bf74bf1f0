#include "app/serve.h"

#include <string>

#include "commands/interpreter.h"
#include "persist/save.h"
#include "server/connections.h"
#include "world/character.h"
#include "world/territory.h"
#include "world/tick.h"

namespace app {

namespace {

constexpr int kTicksPerAutosave = 60;  // about 5 minutes

bool HandleLine(net::Socket connection, std::string line) {
  commands::HandleLine(connection, &server::ConnectionTable, std::move(line), false);
  return commands::EndRequested(connection);
}

void ConnectionEnded(net::Socket connection) {
  world::LeavePlay(connection);
  commands::ForgetSession(connection);
}

}  // namespace

int RunServer(server::ServerOptions options) {
  options.game = {&HandleLine, &ConnectionEnded};
  options.load = [] {
    world::InitTerritoryMap();
    persist::LoadWorld();
  };
  options.tick = [tick = 0]() mutable {
    world::WorldTick();
    if (++tick % kTicksPerAutosave == 0) persist::SaveWorld();  // a failure is reported; play goes on
  };
  options.save = [] { persist::SaveWorld(); };
  return server::StartServer(options);
}

}  // namespace app
