// Telling the clients what a change of the character tables did (CellChange,
// world/character.h): the tables tell nobody, and whoever changes them (the tick, the
// commands, the end of a connection) calls this next. Requires ConnectionLock; only
// queues, and the caller flushes.
#pragma once

#include "core/outbox.h"
#include "world/world.h"

namespace world {

// For a character that entered play: everything of its character to its client, then
// Room.Players to its cell, then "<name> has logged in here." to every other
// connection in screen-reader mode on it. For one that stepped: Room.Players to the
// cell left, Room.Info to its client, Room.Players to the cell entered. For one that
// left play: Room.Players to the cell left, then "<name> has logged out." to those in
// screen-reader mode on it. Nothing for no change.
void TellChange(const World& world, core::Outbox& outbox, const CellChange& change);

}  // namespace world
