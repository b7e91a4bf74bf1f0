// The world tick: once every 5 seconds the world moves on. Runs on the main thread.
#pragma once

#include <string_view>

#include "core/outbox.h"
#include "world/world.h"

namespace world {

// Told to a cell after a character's name when it steps in.
inline constexpr std::string_view kEnteredArea = " has entered the area.";

// Advances the world's clock, carries out at most one queued movement for every
// character in play (telling the cells left and entered, and a mover in screen-reader
// mode where it now is, the first line of look, right after its arrival), and flushes
// `outbox`. REQUIRES: ConnectionLock held.
void WorldTick(World& world, core::Outbox& outbox);

}  // namespace world
