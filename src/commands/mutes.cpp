#include "commands/mutes.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace commands {

void Mutes::Mute(std::string_view name, MuteClock::time_point until) {
  ASSERT_CONNECTION_LOCK_HELD();
  mutes_.insert_or_assign(std::string(name), until);
}

bool Mutes::Unmute(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = mutes_.find(name);
  if (it == mutes_.end()) return false;
  mutes_.erase(it);
  return true;
}

bool Mutes::Muted(std::string_view name, MuteClock::time_point now) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = mutes_.find(name);
  if (it == mutes_.end()) return false;
  if (now < it->second) return true;
  mutes_.erase(it);
  return false;
}

std::size_t Mutes::InForce(MuteClock::time_point now) const {
  ASSERT_CONNECTION_LOCK_HELD();
  return static_cast<std::size_t>(std::count_if(
      mutes_.begin(), mutes_.end(), [now](const auto& mute) { return now < mute.second; }));
}

std::vector<std::pair<std::string, MuteClock::time_point>> Mutes::Carry() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return {mutes_.begin(), mutes_.end()};
}

void Mutes::Adopt(const std::vector<std::pair<std::string, MuteClock::time_point>>& mutes) {
  ASSERT_CONNECTION_LOCK_HELD();
  mutes_ = {mutes.begin(), mutes.end()};
}

}  // namespace commands
