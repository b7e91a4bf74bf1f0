#include "world/character.h"

#include <gtest/gtest.h>

#include <memory>

#include "world_fixture.h"

namespace {

using world::Character;

class TablesTest : public WorldTest {
 protected:
  static std::unique_ptr<Character> Make(const std::string& name, int x = 1, int y = 1) {
    auto c = std::make_unique<Character>();
    c->name = name;
    c->x = x;
    c->y = y;
    return c;
  }
};

TEST_F(TablesTest, ANewRecordHoldsTheDefaults) {
  const Character c;
  EXPECT_TRUE(c.anatomyFlag1 && c.anatomyFlag2);
  EXPECT_EQ(c.following, nullptr);
  EXPECT_EQ(c.healthOverall, 4);
  EXPECT_EQ(c.healthRightBackLeg, 4);
  EXPECT_EQ(c.age, 0);
  EXPECT_EQ(c.extra2, 0);
}

TEST_F(TablesTest, EnterAndLeavePlayKeepsTheRecordAndDropsTheQueue) {
  Character& ash = *Characters().EnterPlay(7, Make("Ash", 4, 5)).who;
  Characters().MoveQueueOf(ash)->Push('n');
  EXPECT_EQ(Characters().CharacterOf(7), &ash);
  EXPECT_EQ(Characters().OccupantsOf(4, 5), std::vector<core::Socket>{7});
  Characters().LeavePlay(7);
  EXPECT_EQ(Characters().CharacterOf(7), nullptr);
  EXPECT_EQ(Characters().MoveQueueOf(ash), nullptr);
  EXPECT_TRUE(Characters().OccupantsOf(4, 5).empty());
  ASSERT_EQ(Characters().Stored().size(), 1u);
  EXPECT_EQ(Characters().Stored()[0].get(), &ash);
  EXPECT_EQ(ash.x, 4);

  const world::CellChange again = Characters().EnterPlayFromStore(9, &ash);
  EXPECT_EQ(again.who, &ash);
  EXPECT_TRUE(Characters().Stored().empty());
  EXPECT_TRUE(Characters().MoveQueueOf(ash)->Empty());
}

TEST_F(TablesTest, NamesAreTakenByEveryTableAndComparedExactly) {
  Characters().EnterPlay(3, Make("Ash"));
  Characters().ParkKit(4, Make("Kit"));
  Characters().Store(Make("Stored"));
  EXPECT_TRUE(Characters().NameTaken("Ash"));
  EXPECT_TRUE(Characters().NameTaken("Kit"));
  EXPECT_TRUE(Characters().NameTaken("Stored"));
  EXPECT_FALSE(Characters().NameTaken("ash"));
  EXPECT_FALSE(Characters().NameTaken(""));
  EXPECT_EQ(Characters().FindInPlayByName("Kit"), nullptr);
  EXPECT_EQ(Characters().FindStoredByName("Ash"), nullptr);
  EXPECT_NE(Characters().FindStoredByName("Stored"), nullptr);
}

// A save file may hold two characters of one name: the lower handle is found while
// both play, the other once it is alone, and neither once both have left.
TEST_F(TablesTest, TheFirstInPlayOfANameIsFoundAsCharactersComeAndGo) {
  Characters().EnterPlay(9, Make("Ash"));
  Characters().EnterPlay(4, Make("Ash"));
  Characters().EnterPlay(6, Make("Fern"));
  core::Socket socket = core::kNoSocket;
  EXPECT_EQ(Characters().FindInPlayByName("Ash", &socket), Characters().CharacterOf(4));
  EXPECT_EQ(socket, 4);
  Characters().LeavePlay(4);
  EXPECT_EQ(Characters().FindInPlayByName("Ash", &socket), Characters().CharacterOf(9));
  EXPECT_EQ(socket, 9);
  Characters().LeavePlay(9);
  EXPECT_EQ(Characters().FindInPlayByName("Ash"), nullptr);
  EXPECT_NE(Characters().FindInPlayByName("Fern"), nullptr);
  EXPECT_TRUE(Characters().Consistent());
}

TEST_F(TablesTest, ANameHeldTwiceIsHeldUntilBothGo) {
  Characters().Store(Make("Ash"));
  Characters().ParkKit(4, Make("Ash"));
  Characters().ParkKit(5, Make("Fern"));
  Characters().DropKit(4);
  EXPECT_TRUE(Characters().NameTaken("Ash"));
  EXPECT_TRUE(Characters().NameTooClose("ASH"));
  Characters().DropKit(5);
  {
    const world::NameReservation birch(Characters(), "Birch");
    EXPECT_TRUE(Characters().NameTaken("Birch"));
    EXPECT_TRUE(Characters().NameTooClose("birch"));
    EXPECT_TRUE(Characters().Consistent());
  }
  EXPECT_FALSE(Characters().NameTaken("Birch"));
  EXPECT_FALSE(Characters().NameTooClose("fern"));
  EXPECT_TRUE(Characters().Consistent());
}

TEST_F(TablesTest, ASecondKitOfAConnectionIsNotKept) {
  EXPECT_TRUE(Characters().ParkKit(4, Make("First")));
  EXPECT_FALSE(Characters().ParkKit(4, Make("Second")));
  EXPECT_EQ(Characters().Kits().at(4)->name, "First");
}

TEST_F(TablesTest, CellsListTheirOccupantsInAscendingHandleOrder) {
  Characters().EnterPlay(30, Make("C", 2, 2));
  Characters().EnterPlay(10, Make("A", 2, 2));
  Characters().EnterPlay(20, Make("B", 3, 2));
  Characters().MoveCharacter(20, 2, 2);
  EXPECT_EQ(Characters().OccupantsOf(2, 2), (std::vector<core::Socket>{10, 20, 30}));
  EXPECT_TRUE(Characters().OccupantsOf(3, 2).empty());
  EXPECT_EQ(Characters().CharacterOf(20)->x, 2);
}

TEST_F(TablesTest, SaveOrderIsStoredThenInPlayByHandle) {
  Characters().Store(Make("Old1"));
  Characters().EnterPlay(9, Make("Nine"));
  Characters().EnterPlay(2, Make("Two"));
  Characters().EnterPlay(5, Make("Five"));
  Characters().Store(Make("Old2"));
  Characters().LeavePlay(5);
  std::vector<std::string> names;
  for (const Character* c : Characters().CharactersToSave()) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"Old1", "Old2", "Five", "Two", "Nine"}));
  EXPECT_EQ(Characters().InPlay().size(), 2u);
  EXPECT_TRUE(Characters().Consistent());
}

TEST(MoveQueueTest, HoldsAtMostItsCapacityFirstInFirstOut) {
  world::MoveQueue q;
  for (std::size_t i = 0; i < world::MoveQueue::kCapacity; ++i) EXPECT_TRUE(q.Push(i % 2 ? 'n' : 'e'));
  EXPECT_FALSE(q.Push('s'));
  EXPECT_EQ(q.Size(), world::MoveQueue::kCapacity);
  EXPECT_FALSE(world::MoveQueue().Push('x'));
  EXPECT_EQ(q.Front(), 'e');
  q.Pop();
  EXPECT_EQ(q.Front(), 'n');
  EXPECT_TRUE(q.Push('w'));  // wraps around the ring
  while (q.Size() > 1) q.Pop();
  EXPECT_EQ(q.Front(), 'w');
}

}  // namespace
