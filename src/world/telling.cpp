#include "world/telling.h"

#include "core/connection_lock.h"
#include "world/client_data.h"
#include "world/screen_reader.h"

namespace world {

void TellChange(const CellChange& change) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (change.who == nullptr) return;
  if (!change.left) TellClientEverything(change.connection);
  if (change.left) TellRoomPlayers(change.left->x, change.left->y);
  if (change.left && change.entered) TellRoomInfo(change.connection);
  if (change.entered) TellRoomPlayers(change.entered->x, change.entered->y);
  if (!change.left) TellLoggedIn(change.connection);
  if (!change.entered) TellLoggedOut(change.who->name, change.left->x, change.left->y);
}

}  // namespace world
