#include "commands/mutes.h"

#include <algorithm>
#include <map>
#include <string>

#include "core/connection_lock.h"

namespace commands {

namespace {

// Name to the end of its mute. Guarded by ConnectionLock; only the operator adds to it.
std::map<std::string, MuteClock::time_point, std::less<>> Mutes;

}  // namespace

void Mute(std::string_view name, MuteClock::time_point until) {
  ASSERT_CONNECTION_LOCK_HELD();
  Mutes.insert_or_assign(std::string(name), until);
}

bool Unmute(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Mutes.find(name);
  if (it == Mutes.end()) return false;
  Mutes.erase(it);
  return true;
}

bool Muted(std::string_view name, MuteClock::time_point now) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Mutes.find(name);
  if (it == Mutes.end()) return false;
  if (now < it->second) return true;
  Mutes.erase(it);
  return false;
}

std::size_t MutesInForce(MuteClock::time_point now) {
  ASSERT_CONNECTION_LOCK_HELD();
  return static_cast<std::size_t>(
      std::count_if(Mutes.begin(), Mutes.end(), [now](const auto& mute) { return now < mute.second; }));
}

std::vector<std::pair<std::string, MuteClock::time_point>> CarryMutes() {
  ASSERT_CONNECTION_LOCK_HELD();
  return {Mutes.begin(), Mutes.end()};
}

void AdoptMutes(const std::vector<std::pair<std::string, MuteClock::time_point>>& mutes) {
  ASSERT_CONNECTION_LOCK_HELD();
  Mutes = {mutes.begin(), mutes.end()};
}

}  // namespace commands
