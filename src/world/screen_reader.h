// Screen-reader mode: the connections that hear the game in words a screen reader
// speaks well. In the mode speech names its kind (proximity.h), one's own step is
// followed by where it led (tick.h), and a cat that enters or leaves play on one's cell
// is told (telling.h). Off for a connection until it is turned on; the rest of the
// game's text is the same in the mode. The world (world/world.h) holds the modes of a
// running server; guarded by ConnectionLock as the world is.
#pragma once

#include <string_view>
#include <vector>

#include "core/socket_handle.h"

namespace world {

inline constexpr std::string_view kLoggedInHere = " has logged in here.";
inline constexpr std::string_view kLoggedOut = " has logged out.";

class ScreenReaders {
 public:
  // Turns the mode on or off for `connection`, whether it is in play or not.
  void Set(core::Socket connection, bool on);
  bool On(core::Socket connection) const;
  // True when no connection is in the mode.
  bool None() const { return inMode_.empty(); }
  // The connections in the mode, ascending (an upgrade carries them).
  const std::vector<core::Socket>& All() const { return inMode_; }
  // Forgets the mode of an ended connection.
  void Forget(core::Socket connection) { Set(connection, false); }

 private:
  // Ascending. Few players turn the mode on, so a sorted vector beats a node per entry.
  std::vector<core::Socket> inMode_;
};

}  // namespace world
