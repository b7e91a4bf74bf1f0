// Writing a save file's bytes from the clock and the characters, without touching a
// file or the tables. Pure function: any thread may call it, no lock needed (the caller
// holds ConnectionLock while the records it passes may change).
#pragma once

#include <string>
#include <vector>

#include "world/character.h"
#include "world/clock.h"

namespace persist {

// The whole save file for `clock` and `characters`, the records in the order given.
// Every line ends with "\n". A line-end byte ('\n' or '\r') inside a text, which no
// command lets in, is written as a blank so that it cannot break the layout; every
// other byte is written as it is. `expectedBytes`, the size of the last such file if
// known, is room made at once, so that a file of megabytes is not copied as it grows.
std::string FormatSave(const world::GameClockState& clock,
                       const std::vector<const world::Character*>& characters,
                       std::size_t expectedBytes = 0);

}  // namespace persist
