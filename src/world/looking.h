// Looking: what a player learns of its cell and of the characters on it. Reads the
// character tables and the TerritoryMap and only queues messages for the looker; the
// caller flushes. Callers hold ConnectionLock.
#pragma once

#include <string>
#include <string_view>

#include "core/outbox.h"
#include "world/character.h"

namespace world {

// How the answer to look begins: the line naming the looker's cell.
inline constexpr std::string_view kYouAreIn = "You are in ";

// The clan word, role word and name, as in "Mossfold medicine cat Ash". A role number
// outside the table reads "warrior ", a clan outside it "Fernfold ".
std::string CharacterTitle(const Character& c);

// The line naming a cell, as look begins: "You are in " and LocationName.
// REQUIRES: OnMap(x, y).
std::string PlaceLine(std::int32_t x, std::int32_t y);

// Queues for `connection` the line naming its cell (PlaceLine), one line for each neighbouring cell
// that is on the map (north, south, east, west), then "<title> is here." for every other
// character in play on the cell, in ascending handle order.
// REQUIRES: `connection` is in play; ConnectionLock held.
void DescribeArea(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection);

// Queues "You see a <description>." when the first character in play named `name`
// (exactly) stands on the looker's cell, the looker itself included; otherwise
// "Invalid character.". REQUIRES: `connection` is in play; ConnectionLock held.
void DescribeCharacter(const CharacterTable& characters, core::Outbox& outbox,
                       core::Socket connection, std::string_view name);

}  // namespace world
