#include "world/territory.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using world::Cell;
using world::CellKind;
using world::Clan;
using world::Role;

class TerritoryTest : public ::testing::Test {};

TEST_F(TerritoryTest, TwentyNineCellsAreNotTerritory) {
  std::map<CellKind, int> counts;
  for (int y = 0; y < world::kMapSize; ++y) {
    for (int x = 0; x < world::kMapSize; ++x) ++counts[world::CellKindAt(x, y)];
  }
  EXPECT_EQ(counts[CellKind::Territory], 900 - 29);
  EXPECT_EQ(counts[CellKind::Landmark], 1);
  EXPECT_EQ(counts[CellKind::Camp], 8);
  for (const CellKind den : {CellKind::WarriorsDen, CellKind::MedicineCatDen,
                             CellKind::ApprenticesDen, CellKind::Nursery, CellKind::LeadersDen}) {
    EXPECT_EQ(counts[den], 4);
  }
  EXPECT_EQ(world::CellKindAt(14, 14), CellKind::Landmark);
}

TEST_F(TerritoryTest, SouthernCampsFaceNorthAndNorthernCampsAreMirrored) {
  // Mossfold (7, 23): leader's den to the north, second camp cell to the south.
  EXPECT_EQ(world::CellKindAt(7, 22), CellKind::LeadersDen);
  EXPECT_EQ(world::CellKindAt(6, 22), CellKind::Territory);
  EXPECT_EQ(world::CellKindAt(8, 22), CellKind::Territory);
  EXPECT_EQ(world::CellKindAt(6, 23), CellKind::WarriorsDen);
  EXPECT_EQ(world::CellKindAt(7, 23), CellKind::Camp);
  EXPECT_EQ(world::CellKindAt(8, 23), CellKind::Nursery);
  EXPECT_EQ(world::CellKindAt(6, 24), CellKind::MedicineCatDen);
  EXPECT_EQ(world::CellKindAt(7, 24), CellKind::Camp);
  EXPECT_EQ(world::CellKindAt(8, 24), CellKind::ApprenticesDen);
  // Fernfold (23, 7): the same block upside down.
  EXPECT_EQ(world::CellKindAt(22, 6), CellKind::MedicineCatDen);
  EXPECT_EQ(world::CellKindAt(23, 6), CellKind::Camp);
  EXPECT_EQ(world::CellKindAt(24, 6), CellKind::ApprenticesDen);
  EXPECT_EQ(world::CellKindAt(22, 7), CellKind::WarriorsDen);
  EXPECT_EQ(world::CellKindAt(24, 7), CellKind::Nursery);
  EXPECT_EQ(world::CellKindAt(23, 8), CellKind::LeadersDen);
  EXPECT_EQ(world::CellKindAt(22, 8), CellKind::Territory);
  EXPECT_EQ(world::CellKindAt(24, 8), CellKind::Territory);
}

TEST_F(TerritoryTest, NamesOfCampCellsCornersAndLand) {
  EXPECT_EQ(world::LocationName(23, 23), "the Emberfold camp.");
  EXPECT_EQ(world::LocationName(23, 22), "the Emberfold leader's den.");
  EXPECT_EQ(world::LocationName(22, 22), "Emberfold territory.");
  EXPECT_EQ(world::LocationName(24, 22), "Emberfold territory.");
  EXPECT_EQ(world::LocationName(6, 6), "the Larkfold medicine cat's den.");
  EXPECT_EQ(world::LocationName(8, 6), "the Larkfold apprentices' den.");
  EXPECT_EQ(world::LocationName(8, 7), "the Larkfold nursery.");
  EXPECT_EQ(world::LocationName(6, 23), "the Mossfold warriors' den.");
  EXPECT_EQ(world::LocationName(0, 0), "Larkfold territory.");
  EXPECT_EQ(world::LocationName(29, 0), "Fernfold territory.");
  EXPECT_EQ(world::LocationName(29, 29), "Emberfold territory.");
}

TEST_F(TerritoryTest, ColumnFourteenBelongsToNoClanAndRowFourteenToTheSouth) {
  EXPECT_EQ(world::LocationName(14, 14), " Oldmeadow.");
  EXPECT_EQ(world::LocationName(14, 0), " territory.");
  EXPECT_EQ(world::LocationName(14, 29), " territory.");
  EXPECT_EQ(world::LocationName(13, 14), "Mossfold territory.");
  EXPECT_EQ(world::LocationName(15, 14), "Emberfold territory.");
  EXPECT_EQ(world::LocationName(13, 13), "Larkfold territory.");
  EXPECT_EQ(world::LocationName(15, 13), "Fernfold territory.");
  EXPECT_EQ(world::LocationName(3, 14), "Mossfold territory.");
}

TEST_F(TerritoryTest, StartCellsAreTheDensOfTheirRoles) {
  EXPECT_EQ(world::StartCell(Clan::Fernfold, Role::Leader), (Cell{23, 8}));
  EXPECT_EQ(world::StartCell(Clan::Emberfold, Role::Leader), (Cell{23, 22}));
  EXPECT_EQ(world::StartCell(Clan::Mossfold, Role::Kit), (Cell{-1, -1}));
  EXPECT_EQ(world::StartCell(Clan::Larkfold, Role::Deputy), (Cell{6, 7}));
  EXPECT_EQ(world::StartCell(Clan::Larkfold, static_cast<Role>(3)), (Cell{6, 7}));
  const std::pair<Role, CellKind> dens[] = {
      {Role::Apprentice, CellKind::ApprenticesDen}, {Role::Queen, CellKind::Nursery},
      {Role::Leader, CellKind::LeadersDen},         {Role::MedicineCat, CellKind::MedicineCatDen},
      {Role::Warrior, CellKind::WarriorsDen},       {Role::Deputy, CellKind::WarriorsDen},
  };
  for (const Clan clan : {Clan::Emberfold, Clan::Mossfold, Clan::Larkfold, Clan::Fernfold}) {
    for (const auto& [role, den] : dens) {
      const Cell start = world::StartCell(clan, role);
      EXPECT_EQ(world::CellKindAt(start.x, start.y), den)
          << static_cast<int>(clan) << " " << static_cast<int>(role);
      EXPECT_EQ(world::OwnerOf(start.x, start.y), clan);
    }
  }
}

TEST_F(TerritoryTest, ClanNumbersOutsideTheTableReadAsFernfold) {
  EXPECT_EQ(world::CampCentre(static_cast<Clan>(3)), (Cell{23, 7}));
  EXPECT_EQ(world::CampCentre(static_cast<Clan>(-1)), (Cell{23, 7}));
  EXPECT_EQ(world::StartCell(static_cast<Clan>(9), Role::Leader), (Cell{23, 8}));
  EXPECT_EQ(world::ClanName(static_cast<Clan>(3)), "Fernfold");
}

}  // namespace
