#include "world/telling.h"

#include <string>

#include "core/connection_lock.h"
#include "world/client_data.h"

namespace world {

namespace {

// `notice` to every connection in screen-reader mode on `cell` but `except`.
void TellScreenReaders(const World& world, core::Outbox& outbox, const Cell& cell,
                       core::Socket except, const std::string& notice) {
  for (const core::Socket listener : world.characters.OccupantsOf(cell.x, cell.y)) {
    if (listener != except && world.screenReaders.On(listener)) outbox.Queue(listener, notice);
  }
}

}  // namespace

void TellChange(const World& world, core::Outbox& outbox, const CellChange& change) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (change.who == nullptr) return;
  const CharacterTable& characters = world.characters;
  if (!change.left) TellClientEverything(characters, outbox, change.connection);
  if (change.left) TellRoomPlayers(characters, outbox, *change.left);
  if (change.left && change.entered) TellRoomInfo(characters, outbox, change.connection);
  if (change.entered) TellRoomPlayers(characters, outbox, *change.entered);
  if (world.screenReaders.None()) return;
  if (!change.left) {
    TellScreenReaders(world, outbox, *change.entered, change.connection,
                      change.who->name + std::string(kLoggedInHere));
  }
  if (!change.entered) {
    TellScreenReaders(world, outbox, *change.left, core::kNoSocket,
                      change.who->name + std::string(kLoggedOut));
  }
}

}  // namespace world
