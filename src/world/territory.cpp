#include "world/territory.h"

#include <array>
#include <cassert>

namespace world {

namespace {

using Grid = std::array<CellKind, kMapSize * kMapSize>;

constexpr std::size_t IndexOf(std::int32_t x, std::int32_t y) {
  return static_cast<std::size_t>(y * kMapSize + x);
}

constexpr bool IsNorthern(Clan clan) {
  return clan != Clan::Emberfold && clan != Clan::Mossfold;
}

// Any clan number outside the table reads as Fernfold.
constexpr Clan Normalised(Clan clan) {
  switch (clan) {
    case Clan::Emberfold:
    case Clan::Mossfold:
    case Clan::Larkfold:
      return clan;
    default:
      return Clan::Fernfold;
  }
}

constexpr Cell Centre(Clan clan) {
  switch (Normalised(clan)) {
    case Clan::Emberfold:
      return {23, 23};
    case Clan::Mossfold:
      return {7, 23};
    case Clan::Larkfold:
      return {7, 7};
    default:
      return {23, 7};
  }
}

// A camp's seven cells. The leader's den faces the middle row of the map, the second
// camp cell the far side, so a northern camp is a southern one mirrored top to bottom:
// `toMiddle` is -1 (north) for the southern camps and +1 for the northern ones.
constexpr void LayCamp(Grid& grid, Clan clan) {
  const Cell c = Centre(clan);
  const std::int32_t toMiddle = IsNorthern(clan) ? 1 : -1;
  const std::int32_t far = -toMiddle;
  grid[IndexOf(c.x, c.y + toMiddle)] = CellKind::LeadersDen;
  grid[IndexOf(c.x - 1, c.y)] = CellKind::WarriorsDen;
  grid[IndexOf(c.x, c.y)] = CellKind::Camp;
  grid[IndexOf(c.x + 1, c.y)] = CellKind::Nursery;
  grid[IndexOf(c.x - 1, c.y + far)] = CellKind::MedicineCatDen;
  grid[IndexOf(c.x, c.y + far)] = CellKind::Camp;
  grid[IndexOf(c.x + 1, c.y + far)] = CellKind::ApprenticesDen;
}

constexpr Grid BuildMap() {
  Grid grid{};
  grid.fill(CellKind::Territory);
  grid[IndexOf(kOldmeadow.x, kOldmeadow.y)] = CellKind::Landmark;
  for (const Clan clan : {Clan::Emberfold, Clan::Mossfold, Clan::Larkfold, Clan::Fernfold}) {
    LayCamp(grid, clan);
  }
  return grid;
}

// Written at program start and by InitTerritoryMap, with the same contents; read-only
// while the server's threads run.
constinit Grid TerritoryMap = BuildMap();

std::string_view PlaceWord(CellKind kind) {
  switch (kind) {
    case CellKind::Landmark:
      return "Oldmeadow.";
    case CellKind::Camp:
      return "camp.";
    case CellKind::WarriorsDen:
      return "warriors' den.";
    case CellKind::MedicineCatDen:
      return "medicine cat's den.";
    case CellKind::ApprenticesDen:
      return "apprentices' den.";
    case CellKind::Nursery:
      return "nursery.";
    case CellKind::LeadersDen:
      return "leader's den.";
    default:
      return "territory.";
  }
}

}  // namespace

void InitTerritoryMap() {
  TerritoryMap = BuildMap();
}

CellKind CellKindAt(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  return TerritoryMap[IndexOf(x, y)];
}

std::optional<Clan> OwnerOf(std::int32_t x, std::int32_t y) {
  constexpr std::int32_t middle = 14;
  if (x == middle) return std::nullopt;
  if (x < middle) return y < middle ? Clan::Larkfold : Clan::Mossfold;
  return y < middle ? Clan::Fernfold : Clan::Emberfold;
}

std::string_view ClanName(Clan clan) {
  switch (Normalised(clan)) {
    case Clan::Emberfold:
      return "Emberfold";
    case Clan::Mossfold:
      return "Mossfold";
    case Clan::Larkfold:
      return "Larkfold";
    default:
      return "Fernfold";
  }
}

Cell CampCentre(Clan clan) {
  return Centre(clan);
}

Cell StartCell(Clan clan, Role role) {
  const Cell c = Centre(clan);
  const std::int32_t toMiddle = IsNorthern(clan) ? 1 : -1;
  const std::int32_t far = -toMiddle;
  switch (role) {
    case Role::Kit:
      return {-1, -1};
    case Role::Apprentice:
      return {c.x + 1, c.y + far};
    case Role::Queen:
      return {c.x + 1, c.y};
    case Role::Leader:
      return {c.x, c.y + toMiddle};
    case Role::MedicineCat:
      return {c.x - 1, c.y + far};
    default:  // Warrior, Deputy and any number outside the table
      return {c.x - 1, c.y};
  }
}

std::string LocationName(std::int32_t x, std::int32_t y) {
  const CellKind kind = CellKindAt(x, y);
  const std::optional<Clan> owner = OwnerOf(x, y);
  std::string name;
  if (kind != CellKind::Territory && kind != CellKind::Landmark) name = "the ";
  if (owner) name += ClanName(*owner);
  name += ' ';
  name += PlaceWord(kind);
  return name;
}

}  // namespace world
