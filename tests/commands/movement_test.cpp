#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "world/tick.h"
#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;

class MovementTest : public WorldTest {
 protected:
  std::string QueuedWords(const world::Character& c) {
    world::MoveQueue copy = *Characters().MoveQueueOf(c);
    std::string words;
    while (!copy.Empty()) {
      words += copy.Front();
      copy.Pop();
    }
    return words;
  }
};

TEST_F(MovementTest, DirectionWordsQueueTheirLetter) {
  world::Character& ash = Place(1, "Ash", 5, 5);
  for (const std::string line :
       {"n", "north", "s", "south", "e", "east", "w", "west extra words"}) {
    Type(1, line);
    EXPECT_EQ(Lines(1), Texts{"Movement queued."}) << line;
  }
  EXPECT_EQ(QueuedWords(ash), "nnsseeww");
  EXPECT_EQ(ash.x, 5);  // nothing moves before the tick
}

TEST_F(MovementTest, OnlyThePresentCellCountsAtTheEdge) {
  world::Character& ash = Place(1, "Ash", 0, 0);
  for (const std::string line : {"north", "w"}) {
    Type(1, line);
    EXPECT_EQ(Lines(1), Texts{"This command is not valid for you right now."}) << line;
  }
  EXPECT_EQ(QueuedWords(ash), "");
  Characters().MoveCharacter(1, 29, 29);
  for (const std::string line : {"s", "east"}) {
    Type(1, line);
    EXPECT_EQ(Lines(1), Texts{"This command is not valid for you right now."}) << line;
  }
  Characters().MoveCharacter(1, 4, 1);
  Type(1, "n");
  Type(1, "n");
  EXPECT_EQ(Lines(1), (Texts{"Movement queued.", "Movement queued."}));
  EXPECT_EQ(QueuedWords(ash), "nn");
}

TEST_F(MovementTest, AFullQueueTakesNoMore) {
  world::Character& ash = Place(1, "Ash", 5, 5);
  for (std::size_t i = 0; i < world::MoveQueue::kCapacity; ++i) Type(1, i % 2 == 0 ? "e" : "w");
  Lines(1);
  Type(1, "n");
  EXPECT_EQ(Lines(1), Texts{"Too many movements queued."});
  EXPECT_EQ(Characters().MoveQueueOf(ash)->Size(), world::MoveQueue::kCapacity);
  // The edge is checked first.
  Characters().MoveCharacter(1, 5, 0);
  Type(1, "n");
  EXPECT_EQ(Lines(1), Texts{"This command is not valid for you right now."});
}

TEST_F(MovementTest, StopForgetsTheQueuedMovements) {
  world::Character& ash = Place(1, "Ash", 5, 5);
  for (const std::string line : {"e", "e", "s"}) Type(1, line);
  world::WorldTick(World(),
                   Outbox());  // one step taken: the ring no longer starts at its first slot
  Lines(1);
  Type(1, "stop");
  EXPECT_EQ(Lines(1), Texts{"Movement queue cleared."});
  EXPECT_EQ(QueuedWords(ash), "");
  Type(1, "stop");
  EXPECT_EQ(Lines(1), Texts{"Movement queue cleared."});
  Type(1, "n");
  Lines(1);
  EXPECT_EQ(QueuedWords(ash), "n");
  world::WorldTick(World(), Outbox());
  EXPECT_EQ(ash.x, 6);
  EXPECT_EQ(ash.y, 4);
}

TEST_F(MovementTest, FollowSomeoneOnTheSameCellOrOneself) {
  world::Character& ash = Place(1, "Ash", 5, 5);
  world::Character& birch = Place(2, "Birch", 5, 5);
  Type(1, "follow Birch and more");
  EXPECT_EQ(Lines(1), Texts{"Now following Birch."});
  EXPECT_EQ(ash.following, &birch);
  Type(1, "follow Ash");
  EXPECT_EQ(Lines(1), Texts{"Now following Ash."});
  EXPECT_EQ(ash.following, &ash);
  Type(1, "follow off");
  EXPECT_EQ(Lines(1), Texts{"Follow cancelled."});
  EXPECT_EQ(ash.following, nullptr);
  Type(1, "follow off");
  EXPECT_EQ(Lines(1), Texts{"Follow cancelled."});
}

TEST_F(MovementTest, FollowRefusesWhoIsNotHereAndKeepsTheOldLink) {
  world::Character& ash = Place(1, "Ash", 5, 5);
  world::Character& birch = Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 6, 5);
  Place(4, "off", 5, 5);  // a character named off cannot be followed
  auto stored = std::make_unique<world::Character>();
  stored->name = "Dusk";
  stored->x = 5;
  stored->y = 5;
  Characters().Store(std::move(stored));
  ash.following = &birch;
  for (const std::string line : {"follow Cedar", "follow Dusk", "follow birch", "follow  Birch"}) {
    Type(1, line);
    EXPECT_EQ(Lines(1), Texts{"Invalid character or character is not nearby."}) << line;
    EXPECT_EQ(ash.following, &birch) << line;
  }
  Type(1, "follow");
  EXPECT_EQ(Lines(1), Texts{"format: follow character(or off)"});
  Type(1, "follow off");
  EXPECT_EQ(Lines(1), Texts{"Follow cancelled."});
  EXPECT_EQ(ash.following, nullptr);
}

}  // namespace
