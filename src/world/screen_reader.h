// Screen-reader mode: the connections that hear the game in words a screen reader
// speaks well, and the notices only they are told. In the mode speech names its kind
// (proximity.h), one's own step is followed by where it led (tick.h), and a cat that
// enters or leaves play on one's cell is told. Off for a connection until it is turned
// on; the rest of the game's text is the same in the mode. Guarded by ConnectionLock.
#pragma once

#include <string_view>
#include <vector>

#include "world/character.h"

namespace world {

inline constexpr std::string_view kLoggedInHere = " has logged in here.";
inline constexpr std::string_view kLoggedOut = " has logged out.";

// Turns the mode on or off for `connection`, whether it is in play or not.
void SetScreenReader(Socket connection, bool on);
bool ScreenReaderOn(Socket connection);
// The connections in the mode, ascending (an upgrade carries them).
std::vector<Socket> ScreenReaders();
// Forgets the mode of an ended connection, or of every connection (tests).
void ForgetScreenReader(Socket connection);
void ForgetAllScreenReaders();

// Tells every other connection in the mode on the cell of `connection`'s character,
// which has just entered play, "<name> has logged in here.".
// REQUIRES: `connection` is in play.
void TellLoggedIn(Socket connection);
// Tells every connection in the mode on (x, y) that `name` has logged out; the
// character has already left the cell.
void TellLoggedOut(std::string_view name, std::int32_t x, std::int32_t y);

}  // namespace world
