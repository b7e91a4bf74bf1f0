// Mutes: characters the operator has silenced for a while, by name. Their speech (say,
// yowl, whisper) is answered kMuted and goes nowhere. Kept in memory only; a restart
// lifts every mute. Guarded by ConnectionLock.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace commands {

using MuteClock = std::chrono::steady_clock;

inline constexpr const char* kMuted = "You cannot speak right now.";

// Mutes `name` until `until` (MuteClock::time_point::max(): until unmuted), replacing
// an earlier mute of that name. REQUIRES: ConnectionLock held.
void Mute(std::string_view name, MuteClock::time_point until);
// False when `name` was not muted. REQUIRES: ConnectionLock held.
bool Unmute(std::string_view name);
// True while a mute of `name` lasts at `now`; a mute whose time is up is forgotten.
// REQUIRES: ConnectionLock held.
bool Muted(std::string_view name, MuteClock::time_point now = MuteClock::now());
// The mutes that last at `now`; leaves the list as it is. REQUIRES: ConnectionLock held.
std::size_t MutesInForce(MuteClock::time_point now = MuteClock::now());

// Every mute, for an upgrade, and the list made again from them in the new process.
// REQUIRES: ConnectionLock held.
std::vector<std::pair<std::string, MuteClock::time_point>> CarryMutes();
void AdoptMutes(const std::vector<std::pair<std::string, MuteClock::time_point>>& mutes);

}  // namespace commands
