#include "world/screen_reader.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "core/connection_lock.h"
#include "core/outbox.h"

namespace world {

namespace {

// One per process, guarded by ConnectionLock: the connections in the mode, ascending.
// Few players turn it on, so a sorted vector beats a node per entry.
std::vector<Socket> InMode;

}  // namespace

void SetScreenReader(Socket connection, bool on) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto at = std::lower_bound(InMode.begin(), InMode.end(), connection);
  const bool found = at != InMode.end() && *at == connection;
  if (on && !found) InMode.insert(at, connection);
  if (!on && found) InMode.erase(at);
}

bool ScreenReaderOn(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  return std::binary_search(InMode.begin(), InMode.end(), connection);
}

std::vector<Socket> ScreenReaders() {
  ASSERT_CONNECTION_LOCK_HELD();
  return InMode;
}

void ForgetScreenReader(Socket connection) { SetScreenReader(connection, false); }

void ForgetAllScreenReaders() {
  ASSERT_CONNECTION_LOCK_HELD();
  InMode.clear();
}

void TellLoggedIn(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* entered = CharacterOf(connection);
  assert(entered != nullptr);
  if (InMode.empty()) return;
  const std::string notice = entered->name + std::string(kLoggedInHere);
  for (const Socket listener : OccupantsOf(entered->x, entered->y)) {
    if (listener != connection && ScreenReaderOn(listener)) core::QueueMessage(listener, notice);
  }
}

void TellLoggedOut(std::string_view name, std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (InMode.empty()) return;
  const std::string notice = std::string(name) + std::string(kLoggedOut);
  for (const Socket listener : OccupantsOf(x, y)) {
    if (ScreenReaderOn(listener)) core::QueueMessage(listener, notice);
  }
}

}  // namespace world
