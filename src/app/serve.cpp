#include "app/serve.h"

#include <string>

#include <ctime>

#include "app/admin.h"
#include "app/metrics.h"
#include "base/password.h"
#include "commands/interpreter.h"
#include "persist/plain_passwords.h"
#include "persist/save.h"
#include "persist/saver.h"
#include "server/bans.h"
#include "server/log.h"
#include "server/worker.h"
#include "world/character.h"
#include "world/territory.h"
#include "world/tick.h"

namespace app {

namespace {

constexpr int kTicksPerAutosave = 60;  // about 5 minutes

bool HandleLine(net::Socket connection, const std::string& line) {
  commands::HandleLine(connection, line);
  return commands::EndRequested(connection);
}

void ConnectionEnded(net::Socket connection) {
  world::LeavePlay(connection);
  world::DropKit(connection);
  commands::ForgetSession(connection);
}

}  // namespace

int RunServer(server::ServerOptions options) {
  // A server that could never save would lose everything at its first save: say so
  // before taking a single player.
  int error = 0;
  if (!persist::CanSaveIn(persist::kSaveFilePath, error)) {
    server::Log("Error saving world: " + std::to_string(error) + "\n");
    return 1;
  }
  if (base::CheapPasswordHashes()) {
    server::Log("Password hashes are cheap (PELTHOLLOW_CHEAP_PASSWORD_HASHES): for tests only.\n");
  }
  options.game = {&HandleLine, &ConnectionEnded};
  options.load = [] {
    world::InitTerritoryMap();
    persist::LoadWorld();
    world::TakeChanges();  // what was loaded is what the file holds
    server::LoadBans();
    persist::StartSaver();
    server::StartWorker();
  };
  // Any change to a character is on disk within one tick; the clock alone waits for the
  // autosave. A save that failed is tried again every tick until one works.
  options.tick = [tick = 0]() mutable {
    world::WorldTick();
    persist::HashPlainPasswords();
    const bool autosave = ++tick % kTicksPerAutosave == 0;
    if (world::TakeChanges() || autosave || persist::SaveFailedLast()) TimedSaveInBackground();
    if (server::Bans().Expire(static_cast<std::int64_t>(std::time(nullptr)))) server::SaveBans();
  };
  options.adminSocket = AdminSocketPath();
  options.admin = [](std::string_view line) { return RunAdminCommand(line); };
  options.save = [] { return persist::SaveBeforeExit(); };
  return server::StartServer(options);
}

}  // namespace app
