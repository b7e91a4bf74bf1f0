// The TerritoryMap: the 30 by 30 grid of the world, its camps and the landmark, and the
// naming of places. A constant, made when the program is built: any thread may read it
// without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "world/cell.h"
#include "world/character.h"

namespace world {

inline constexpr Cell kOldmeadow{14, 14};

// The kind of a cell. REQUIRES: OnMap(x, y).
CellKind CellKindAt(std::int32_t x, std::int32_t y);

// The clan whose land the cell is, from its position alone: the quarters meet at
// column 14, which belongs to no clan (nullopt), and row 14 is southern land.
std::optional<Clan> OwnerOf(std::int32_t x, std::int32_t y);

// "Emberfold", "Mossfold", "Larkfold", and "Fernfold" for every other value.
std::string_view ClanName(Clan clan);

// The centre of a clan's camp; every value but 0, 1 and 2 is Fernfold's.
Cell CampCentre(Clan clan);

// Where setup places a new character of this clan and role; (-1, -1) for a kit. A role
// number outside the table places like a Warrior.
Cell StartCell(Clan clan, Role role);

// Puts a character whose position lies off the map at its clan's camp centre, since
// nothing may stand off the map; a character on the map is left untouched.
void MoveOntoMap(Character& c);

// The cell named in text, such as "the Emberfold camp." or " Oldmeadow.".
// REQUIRES: OnMap(x, y).
std::string LocationName(std::int32_t x, std::int32_t y);

}  // namespace world
