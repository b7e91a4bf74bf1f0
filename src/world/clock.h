// GameClock: the in-game day and time of day. Written by the world tick and the load,
// read by the time command and the save. Guarded by ConnectionLock.
#pragma once

#include <cstdint>

namespace world {

inline constexpr std::int32_t kTicksPerDay = 2880;  // one tick is 30 game seconds

struct GameClockState {
  std::int32_t day = 0;        // days since the world began
  std::int32_t tickOfDay = 0;  // ticks since the start of the day, 0 to 2879
};

extern GameClockState GameClock;

// One tick later: tickOfDay + 1, and at 2880 the next day begins.
void AdvanceGameClock();

}  // namespace world
