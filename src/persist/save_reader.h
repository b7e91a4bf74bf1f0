// Reading a save file from its bytes, without touching the world: the result is a
// record that LoadWorld (persist/save.h) moves into the tables. Pure functions: any
// thread may call them, no lock needed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "world/character.h"
#include "world/clock.h"

namespace persist {

// What a save file held.
struct SaveContents {
  world::GameClockState clock;  // lines 2 and 3; a counter that could not be read is 0
  // The records that were read whole, in file order, each following nobody. A position
  // off the map has been replaced by the centre of the character's clan's camp.
  std::vector<std::unique_ptr<world::Character>> characters;
  std::string messages;  // what the load tells the operator, in order; "" for a good file
  bool leftOut = false;  // true when any part of the file was not loaded
};

// Reads a whole save file. Never fails and never stops early in a way that loses what
// came before the fault: every input gives a result.
//  - CR LF and LF both end a line. A last line without a line end is where the file
//    was cut: its bytes are not used.
//  - An empty file, or a first line other than "PLTHO": "Magic string missing, load
//    failed."; nothing is loaded.
//  - A clock line that is not a number: "Bad value on line L, clock left at 0.".
//  - A fourth line other than "CHARAS": "Chars section missing."; the clock is kept.
//  - Any line other than "CHARASEND" where a record may begin starts a record of 23
//    lines. A record whose last line is not "CHARAEND" is left out without a message;
//    one with a number or flag line that is not a number: "Bad value on line L,
//    character left out.".
//  - The end of the file before "CHARASEND": "Save file truncated, loaded N
//    characters."; the clock and the records read whole before the cut are kept.
// Every message ends with "\n"; each of these cases sets `leftOut`.
SaveContents ParseSave(std::string_view bytes);

}  // namespace persist
