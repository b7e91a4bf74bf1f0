// The layout of the save file, written down once. The reader and the writer both walk
// these tables, so they cannot disagree about which line holds what or how it is
// encoded. Constants only: any thread may use them.
//
// The file, one value per line, every line (the last included) ending in "\n":
//   kMagic
//   GameClock day          number
//   GameClock tickOfDay    number
//   kCharactersBegin
//   any number of records: kRecordBegin, the kRecordFields lines, kRecordEnd
//   kCharactersEnd
//
// Encodings. Text: the bytes as they are, possibly none, no quoting or escaping (a
// text cannot hold a line end). Number: signed 32-bit decimal, "-" for negatives, no
// "+", no leading zeros. Flag: "1" or "0". Roles and clans are written as their numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "base/stored_password.h"
#include "world/character.h"
#include "world/clock.h"

namespace persist {

// Where the server keeps its world: the working directory of the server.
inline constexpr std::string_view kSaveFilePath = "./savedata.phl";

inline constexpr std::string_view kMagic = "PLTHO";
inline constexpr std::string_view kCharactersBegin = "CHARAS";
inline constexpr std::string_view kRecordBegin = "CHARA";
inline constexpr std::string_view kRecordEnd = "CHARAEND";
inline constexpr std::string_view kCharactersEnd = "CHARASEND";

// The two clock lines, in file order (lines 2 and 3).
inline constexpr std::array<std::int32_t world::GameClockState::*, 2> kClockFields{
    &world::GameClockState::day,
    &world::GameClockState::tickOfDay,
};
inline constexpr std::size_t kFirstClockLine = 2;

// One line of a record. The member's type says how the line is encoded:
// std::string and base::StoredPassword are a text, bool a flag, and std::int32_t, Role and Clan a number.
using RecordMember =
    std::variant<std::string world::Character::*, base::StoredPassword world::Character::*,
                 std::int32_t world::Character::*, bool world::Character::*, world::Role world::Character::*,
                 world::Clan world::Character::*>;

struct RecordField {
  std::string_view name;
  RecordMember member;
};

// The lines between kRecordBegin and kRecordEnd, in file order. `following` is never
// saved: a loaded character follows nobody.
inline constexpr std::array<RecordField, 21> kRecordFields{{
    {"name", &world::Character::name},
    {"password", &world::Character::password},
    {"pronouns", &world::Character::pronouns},
    {"age", &world::Character::age},
    {"role", &world::Character::role},
    {"clan", &world::Character::clan},
    {"description", &world::Character::description},
    {"anatomyFlag1", &world::Character::anatomyFlag1},
    {"anatomyFlag2", &world::Character::anatomyFlag2},
    {"x", &world::Character::x},
    {"y", &world::Character::y},
    {"healthOverall", &world::Character::healthOverall},
    {"healthHead", &world::Character::healthHead},
    {"healthBody", &world::Character::healthBody},
    {"healthTail", &world::Character::healthTail},
    {"healthLeftFrontLeg", &world::Character::healthLeftFrontLeg},
    {"healthRightFrontLeg", &world::Character::healthRightFrontLeg},
    {"healthLeftBackLeg", &world::Character::healthLeftBackLeg},
    {"healthRightBackLeg", &world::Character::healthRightBackLeg},
    {"extra1", &world::Character::extra1},
    {"extra2", &world::Character::extra2},
}};

// Lines of one record, its two markers included.
inline constexpr std::size_t kRecordLines = kRecordFields.size() + 2;

}  // namespace persist
