#include "world/clock.h"

namespace world {

void AdvanceGameClock(GameClockState& clock) {
  // Wrapping steps: a loaded clock may hold any value, and must not overflow.
  clock.tickOfDay = static_cast<std::int32_t>(static_cast<std::uint32_t>(clock.tickOfDay) + 1);
  if (clock.tickOfDay == kTicksPerDay) {
    clock.day = static_cast<std::int32_t>(static_cast<std::uint32_t>(clock.day) + 1);
    clock.tickOfDay = 0;
  }
}

}  // namespace world
