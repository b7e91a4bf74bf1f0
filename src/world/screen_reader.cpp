#include "world/screen_reader.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace world {

void ScreenReaders::Set(core::Socket connection, bool on) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto at = std::lower_bound(inMode_.begin(), inMode_.end(), connection);
  const bool found = at != inMode_.end() && *at == connection;
  if (on && !found) inMode_.insert(at, connection);
  if (!on && found) inMode_.erase(at);
}

bool ScreenReaders::On(core::Socket connection) const {
  ASSERT_CONNECTION_LOCK_HELD();
  return std::binary_search(inMode_.begin(), inMode_.end(), connection);
}

}  // namespace world
