#include "world/territory.h"

#include <array>
#include <cassert>

#include "world/role.h"

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

// A camp's seven cells around its centre. The leader's den faces the middle row of the
// map, the second camp cell the far side, so a northern camp is a southern one mirrored
// top to bottom: `towardMiddle` steps are south for the northern camps, north for the
// southern ones.
struct CampCell {
  CellKind kind;
  std::int32_t dx;
  std::int32_t towardMiddle;
};
constexpr CampCell kCampLayout[] = {
    {CellKind::LeadersDen, 0, 1},      {CellKind::WarriorsDen, -1, 0},
    {CellKind::Camp, 0, 0},            {CellKind::Nursery, 1, 0},
    {CellKind::MedicineCatDen, -1, -1}, {CellKind::Camp, 0, -1},
    {CellKind::ApprenticesDen, 1, -1},
};

constexpr Cell Place(Clan clan, const CampCell& at) {
  const Cell c = Centre(clan);
  const std::int32_t toMiddle = IsNorthern(clan) ? 1 : -1;
  return {c.x + at.dx, c.y + at.towardMiddle * toMiddle};
}

constexpr void LayCamp(Grid& grid, Clan clan) {
  for (const CampCell& at : kCampLayout) {
    const Cell cell = Place(clan, at);
    grid[IndexOf(cell.x, cell.y)] = at.kind;
  }
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

// Made by the compiler: the map never changes.
constexpr Grid kTerritoryMap = BuildMap();

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

CellKind CellKindAt(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  return kTerritoryMap[IndexOf(x, y)];
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
  if (role == Role::Kit) return {-1, -1};
  const CellKind den = TraitsOf(role).den;
  for (const CampCell& at : kCampLayout) {
    if (at.kind == den) return Place(clan, at);
  }
  return Centre(clan);  // every den is in the layout
}

void MoveOntoMap(Character& c) {
  if (OnMap(c.x, c.y)) return;
  const Cell camp = CampCentre(c.clan);
  c.x = camp.x;
  c.y = camp.y;
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
