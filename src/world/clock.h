// The game's clock: the in-game day and time of day. The world (world/world.h) holds
// the one of a running server; it is written by the world tick and the load, read by
// the time command and the save, and guarded by ConnectionLock as the world is.
#pragma once

#include <cstdint>

namespace world {

inline constexpr std::int32_t kTicksPerDay = 2880;  // one tick is 30 game seconds

struct GameClockState {
  std::int32_t day = 0;        // days since the world began
  std::int32_t tickOfDay = 0;  // ticks since the start of the day, 0 to 2879
};

// One tick later: tickOfDay + 1, and at 2880 the next day begins.
void AdvanceGameClock(GameClockState& clock);

}  // namespace world
