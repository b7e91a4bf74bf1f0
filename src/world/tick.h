// The world tick: once every 5 seconds the world moves on. Runs on the main thread.
#pragma once

namespace world {

// Advances the GameClock, carries out at most one queued movement for every character
// in play (telling the cells left and entered), and flushes the Outbox.
// REQUIRES: ConnectionLock held.
void WorldTick();

}  // namespace world
