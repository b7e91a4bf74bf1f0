// What each role means: the word that chooses it, its title, its health, whether a clan
// has one in play at a time, and its den. The one table of roles; constant, any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "world/cell.h"
#include "world/character.h"

namespace world {

struct RoleTraits {
  Role role;
  std::string_view word;   // the setup word that chooses it
  std::string_view title;  // as others see it, before the name ("medicine cat ")
  std::int32_t health;     // each health field of a new character, and their maximum
  bool onePerClan;         // a clan has at most one in play at a time
  CellKind den;            // where a new one starts (a kit waits off the map instead)
};

// The traits of `role`; a number outside the table (an edited save file) reads as a
// Warrior's.
const RoleTraits& TraitsOf(Role role);

// The role a setup word chooses: the exact word of a role, and Warrior for any other.
Role RoleFromWord(std::string_view word);

}  // namespace world
