#include "server/game.h"

#include <ctime>
#include <utility>

#include "core/connection_lock.h"
#include "core/log.h"
#include "persist/bans_file.h"
#include "world/telling.h"
#include "world/tick.h"

namespace server {

namespace {

constexpr int kTicksPerAutosave = 60;  // about 5 minutes

}  // namespace

void Game::Admitted(core::Socket connection, const connection::Peer& peer) {
  interpreter_.sessions.Begin(connection, peer.key, peer.limited);
}

bool Game::InPlay(core::Socket connection) const {
  return world_.characters.CharacterOf(connection) != nullptr;
}

bool Game::Line(core::Socket connection, const std::string& line) {
  interpreter_.HandleLine(connection, line);
  return interpreter_.sessions.EndRequested(connection);
}

void Game::Ended(core::Socket connection) {
  world::TellChange(world_, layer_.Outbox(), world_.characters.LeavePlay(connection));
  world_.characters.DropKit(connection);
  world_.screenReaders.Forget(connection);
  interpreter_.Forget(connection);
}

void Game::ScreenReaderAsked(core::Socket connection) {
  interpreter_.ScreenReaderAsked(connection);
}

std::string Game::Holder(core::Socket connection) const {
  if (const world::Character* c = world_.characters.CharacterOf(connection)) return c->name;
  const auto& kits = world_.characters.Kits();
  const auto kit = kits.find(connection);
  return kit != kits.end() ? kit->second->name + " (a kit)" : std::string();
}

void Game::Load(bool worldTaken) {
  ASSERT_CONNECTION_LOCK_HELD();
  interpreter_.allowances.SetLimits(layer_.Book().Limits(), layer_.CapsInForce());
  if (!worldTaken) {
    saver_.File().Load(world_);
    world_.characters.TakeChanges();  // what was loaded is what the file holds
  }
  connection::BanList& bans = layer_.Bans();
  persist::LoadBans(bans);
  const std::size_t characters = world_.characters.CharactersToSave().size();
  const std::size_t banned = bans.Addresses().size() + bans.Names().size();
  core::Log(std::string(worldTaken ? "Took over " : "Loaded ") + std::to_string(characters) +
            (characters == 1 ? " character" : " characters") + " and " + std::to_string(banned) +
            (banned == 1 ? " ban.\n" : " bans.\n"));
  passwords_.Start();
  saver_.Start();
  worker_.Start(layer_);
}

void Game::Tick(std::uint64_t tick) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::WorldTick(world_, layer_.Outbox());
  passwords_.HashSome();
  // Any change to a character is on disk within one tick; the clock alone waits for the
  // autosave. A save that failed is tried again every tick until one works.
  const bool autosave = tick % kTicksPerAutosave == 0;
  if (world_.characters.TakeChanges() || autosave || saver_.FailedLast()) Save();
  if (layer_.Bans().Expire(static_cast<std::int64_t>(std::time(nullptr))))
    persist::SaveBans(saver_, layer_.Bans());
  layer_.Prune(connection::LimitClock::now());
  interpreter_.allowances.Prune();
  // No character is made that a crash would lose: while saves fail or the disk is
  // nearly full, setup refuses, and the first good save lifts it.
  const bool kept = saver_.CanKeepNewCharacters();
  if (kept != keptLast_) {
    keptLast_ = kept;
    core::Log(kept ? "New characters are made again: the world saves.\n"
                   : "New characters are refused until the world can be saved.\n",
              kept ? core::LogPriority::Info : core::LogPriority::Error);
  }
  world_.keeping.Set(kept);
}

void Game::Carry(UpgradeState& state) const {
  ASSERT_CONNECTION_LOCK_HELD();
  state.world = world_.Carry();
  state.screenReaders = world_.screenReaders.All();
  state.sessions = interpreter_.sessions.Carry();
  for (const auto& [name, until] : interpreter_.mutes.Carry()) {
    state.mutes.emplace_back(name, connection::CarriedTime(until));
  }
  state.allowances = interpreter_.allowances.Carry();
  for (std::size_t i = 0; i < commands::kLoginResults; ++i) {
    state.logins[i] = interpreter_.logins.Of(static_cast<commands::LoginResult>(i));
  }
}

void Game::Adopt(const UpgradeState& state, const std::set<core::Socket>& live) {
  ASSERT_CONNECTION_LOCK_HELD();
  // The layer's Admitted began a fresh session for each player: the carried ones hold
  // what they had (failed logins, a password to come).
  std::vector<std::pair<core::Socket, commands::Session>> sessions;
  for (const auto& session : state.sessions) {
    if (live.count(session.first) != 0) sessions.push_back(session);
  }
  interpreter_.sessions.Adopt(sessions);
  for (const core::Socket socket : state.screenReaders) {
    if (live.count(socket) != 0) world_.screenReaders.Set(socket, true);
  }
  std::vector<std::pair<std::string, commands::MuteClock::time_point>> mutes;
  for (const auto& [name, until] : state.mutes)
    mutes.emplace_back(name, connection::FromCarriedTime(until));
  interpreter_.mutes.Adopt(mutes);
  interpreter_.allowances.Adopt(state.allowances);
  for (std::size_t i = 0; i < commands::kLoginResults; ++i) {
    interpreter_.logins.Set(static_cast<commands::LoginResult>(i), state.logins[i]);
  }
  // Characters whose connection did not come over leave play, as at any end.
  std::vector<core::Socket> gone;
  for (const auto& [socket, c] : world_.characters.InPlay()) {
    if (live.count(socket) == 0) gone.push_back(socket);
  }
  for (const auto& [socket, c] : world_.characters.Kits()) {
    if (live.count(socket) == 0) gone.push_back(socket);
  }
  for (const core::Socket socket : gone) Ended(socket);
}

void Game::Save(persist::SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  metrics_.SaveTimed(saver_, std::move(done));
}

std::string Game::RenderMetrics(const std::vector<std::string>& doors,
                                web::MetricsFormat format) const {
  return metrics_.Render({layer_, world_, interpreter_, saver_, worker_}, doors, format);
}

}  // namespace server
