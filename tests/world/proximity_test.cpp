#include "world/proximity.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "world_fixture.h"

namespace {

using world::Cell;

std::vector<Cell> Nearby(int x, int y) {
  const world::NearbyCells nearby = world::NearbyCellsOf(x, y);
  return std::vector<Cell>(nearby.begin(), nearby.end());
}

class ProximityTest : public WorldTest {};

TEST_F(ProximityTest, NearbyCellsAreTheCellThenWestEastNorthSouthOnTheMap) {
  EXPECT_EQ(Nearby(5, 5), (std::vector<Cell>{{5, 5}, {4, 5}, {6, 5}, {5, 4}, {5, 6}}));
  EXPECT_EQ(Nearby(0, 0), (std::vector<Cell>{{0, 0}, {1, 0}, {0, 1}}));
  EXPECT_EQ(Nearby(29, 29), (std::vector<Cell>{{29, 29}, {28, 29}, {29, 28}}));
  EXPECT_EQ(Nearby(0, 7), (std::vector<Cell>{{0, 7}, {1, 7}, {0, 6}, {0, 8}}));
  EXPECT_EQ(Nearby(12, 29), (std::vector<Cell>{{12, 29}, {11, 29}, {13, 29}, {12, 28}}));
}

TEST_F(ProximityTest, TellAreaReachesEveryoneInPlayOnTheCellAndNobodyElse) {
  Place(9, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  Place(4, "Cedar", 6, 5);  // next door
  Place(6, "Dusk", 6, 6);
  Characters().MoveCharacter(6, 5, 5);  // walked in
  // A stored character whose saved position is the cell hears nothing.
  auto stored = std::make_unique<world::Character>();
  stored->name = "Elm";
  stored->x = 5;
  stored->y = 5;
  Characters().Store(std::move(stored));

  world::TellArea(World(), Outbox(), "hello", 5, 5);
  EXPECT_EQ(Frames(),
            (std::map<core::Socket, std::string>{{2, "hello"}, {6, "hello"}, {9, "hello"}}));
  world::TellArea(World(), Outbox(), "nobody", 20, 20);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(ProximityTest, TellAreaForgetsThoseWhoLeftPlayOrWalkedAway) {
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 5, 5);
  Characters().LeavePlay(2);
  Characters().MoveCharacter(3, 5, 6);
  world::TellArea(World(), Outbox(), "hi", 5, 5);
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{1, "hi"}}));
}

}  // namespace
