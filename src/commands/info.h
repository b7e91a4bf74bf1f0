// The words and texts of the commands that only tell the player something: status,
// navigate and time. Pure functions of their arguments; any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "world/character.h"
#include "world/clock.h"

namespace commands {

// How the answer to status begins, before the overall condition word.
inline constexpr std::string_view kOverallHealth = "Overall, your health is ";

// "good", "average", "poor", "critical" when value / max, both as single-precision
// floats, is exactly 1, 0.75, 0.5 or 0.25; "crippled" for every other quotient
// (0, anything between the steps, anything above 1, and a maximum of 0).
std::string_view ConditionWord(std::int32_t value, std::int32_t max);

// Where (tx, ty) lies as seen from (x, y), north being the smaller row: " here.",
// " north of here.", " southeast of here." and so on. Gives no distance.
std::string_view RelativeDirection(std::int32_t x, std::int32_t y, std::int32_t tx,
                                   std::int32_t ty);

// "It is hh:mm:ss, on day D of moon M of year Y." for the clock. Values that only an
// edited save file can hold (negative counters) are shown by the same arithmetic.
std::string TimeLine(const world::GameClockState& clock);

}  // namespace commands
