#include "world/clock.h"

#include "core/connection_lock.h"

namespace world {

// One per process, guarded by ConnectionLock: the world has one clock.
GameClockState GameClock;

void AdvanceGameClock() {
  ASSERT_CONNECTION_LOCK_HELD();
  // Wrapping steps: a loaded clock may hold any value, and must not overflow.
  GameClock.tickOfDay = static_cast<std::int32_t>(static_cast<std::uint32_t>(GameClock.tickOfDay) + 1);
  if (GameClock.tickOfDay == kTicksPerDay) {
    GameClock.day = static_cast<std::int32_t>(static_cast<std::uint32_t>(GameClock.day) + 1);
    GameClock.tickOfDay = 0;
  }
}

}  // namespace world
