// Mutes: characters the operator has silenced for a while, by name. Their speech (say,
// yowl, whisper) is answered kMuted and goes nowhere. Kept in memory only; a restart
// lifts every mute. The interpreter (commands/interpreter.h) holds the server's; guarded
// by ConnectionLock as it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace commands {

using MuteClock = std::chrono::steady_clock;

inline constexpr const char* kMuted = "You cannot speak right now.";

class Mutes {
 public:
  // Mutes `name` until `until` (MuteClock::time_point::max(): until unmuted),
  // replacing an earlier mute of that name.
  void Mute(std::string_view name, MuteClock::time_point until);
  // False when `name` was not muted.
  bool Unmute(std::string_view name);
  // True while a mute of `name` lasts at `now`; a mute whose time is up is forgotten.
  bool Muted(std::string_view name, MuteClock::time_point now = MuteClock::now());
  // The mutes that last at `now`; leaves the list as it is.
  std::size_t InForce(MuteClock::time_point now = MuteClock::now()) const;

  // Every mute, for an upgrade, and the list made again from them in the new process.
  std::vector<std::pair<std::string, MuteClock::time_point>> Carry() const;
  void Adopt(const std::vector<std::pair<std::string, MuteClock::time_point>>& mutes);

 private:
  std::map<std::string, MuteClock::time_point, std::less<>> mutes_;  // name to the end of its mute
};

}  // namespace commands
