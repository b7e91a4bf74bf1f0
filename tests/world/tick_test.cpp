#include "world/tick.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "world/territory.h"
#include "world_fixture.h"

namespace {

using world::Character;
using Texts = std::vector<std::string>;
using Heard = std::map<core::Socket, Texts>;

class TickTest : public WorldTest {
 protected:
  // Runs one world tick, keeping what it sends for TakeHeard() instead of sending it.
  // A tick flushes once: at most one frame per connection, in ascending handle order.
  void Tick() {
    const std::size_t before = Sent().size();
    Outbox().DeliverTo(&capture_);
    world::WorldTick(World(), Outbox());
    Outbox().DeliverTo(nullptr);
    for (std::size_t i = before + 1; i < Sent().size(); ++i) {
      EXPECT_LT(Sent()[i - 1].first, Sent()[i].first) << "more than one flush in a tick";
    }
  }

  // The lines each connection got from the ticks since the last call, by handle.
  Heard TakeHeard() {
    Heard heard;
    for (auto& [socket, frame] : Sent()) {
      for (std::string& line : SplitMessages(frame)) heard[socket].push_back(std::move(line));
    }
    Sent().clear();
    return heard;
  }

  world::MoveQueue& QueueOf(const Character& c) { return *Characters().MoveQueueOf(c); }

  void Queue(const Character& c, const std::string& words) {
    for (const char word : words) ASSERT_TRUE(QueueOf(c).Push(word));
  }

  static std::pair<int, int> At(const Character& c) { return {c.x, c.y}; }

 private:
  FrameCapture::Sent& Sent() { return capture_.frames; }

  FrameCapture capture_;
};

TEST_F(TickTest, WithNobodyInPlayTheClockAdvancesAndWaitingLinesLeave) {
  Outbox().Queue(4, "still waiting");
  Tick();
  EXPECT_EQ(World().clock.tickOfDay, 1);
  EXPECT_EQ(TakeHeard(), (Heard{{4, {"still waiting"}}}));
  for (int i = 1; i < world::kTicksPerDay; ++i) Tick();
  EXPECT_EQ(World().clock.day, 1);
  EXPECT_EQ(World().clock.tickOfDay, 0);
  EXPECT_TRUE(TakeHeard().empty());
}

TEST_F(TickTest, OneWordPerTickInQueueOrder) {
  Character& ash = Place(3, "Ash", 10, 10);
  Queue(ash, "nne");
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(10, 9));
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(10, 8));
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(11, 8));
  EXPECT_TRUE(QueueOf(ash).Empty());
  EXPECT_EQ(Characters().OccupantsOf(11, 8), std::vector<core::Socket>{3});
  EXPECT_TRUE(Characters().OccupantsOf(10, 10).empty());
  TakeHeard();
  Tick();  // an idle character sends nothing
  EXPECT_EQ(At(ash), std::make_pair(11, 8));
  EXPECT_TRUE(TakeHeard().empty());
}

TEST_F(TickTest, TheCellLeftHearsTheDepartureAndTheCellEnteredTheArrival) {
  Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 5, 6);
  Place(4, "Dusk", 4, 5);  // beside the cell left: hears nothing
  Queue(birch, "s");
  Tick();
  EXPECT_EQ(TakeHeard(), (Heard{{1, {"Birch has left the area."}},
                                {2, {"Birch has entered the area."}},
                                {3, {"Birch has entered the area."}}}));
}

TEST_F(TickTest, AMoverInScreenReaderModeHearsWhereItsStepLedRightAfterItsArrival) {
  const world::Cell den = world::StartCell(world::Clan::Fernfold, world::Role::Apprentice);
  Character& ash = Place(1, "Ash", den.x, den.y - 1);
  Character& birch = Place(2, "Birch", den.x, den.y - 1);
  Place(3, "Cedar", den.x, den.y);
  World().screenReaders.Set(1, true);
  World().screenReaders.Set(3, true);
  Queue(ash, "s");
  Queue(birch, "s");
  Tick();
  EXPECT_EQ(TakeHeard(),
            (Heard{{1, {"Ash has entered the area.", "You are in the Fernfold apprentices' den.",
                        "Birch has entered the area."}},
                   {2, {"Ash has left the area.", "Birch has entered the area."}},
                   {3, {"Ash has entered the area.", "Birch has entered the area."}}}));
}

TEST_F(TickTest, MovesAreToldAtOnceInAscendingHandleOrder) {
  // Ash walks in from the west before Cedar walks out west: Cedar, still there, hears
  // Ash arrive, and then arrives where Ash no longer stands.
  Character& ash = Place(1, "Ash", 4, 5);
  Place(2, "Birch", 5, 5);
  Character& cedar = Place(3, "Cedar", 5, 5);
  Queue(ash, "e");
  Queue(cedar, "w");
  Tick();
  EXPECT_EQ(TakeHeard(),
            (Heard{{1, {"Ash has entered the area.", "Cedar has left the area."}},
                   {2, {"Ash has entered the area.", "Cedar has left the area."}},
                   {3, {"Ash has entered the area.", "Cedar has entered the area."}}}));
  EXPECT_EQ(At(ash), std::make_pair(5, 5));
  EXPECT_EQ(At(cedar), std::make_pair(4, 5));
}

TEST_F(TickTest, FollowersMoveInStepWithTheLeaderWhoseWordIsUsedOnce) {
  // Followers on either side of the leader's handle see the same word.
  Character& ash = Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  Character& cedar = Place(3, "Cedar", 5, 5);
  ash.following = &birch;
  cedar.following = &birch;
  Queue(birch, "ee");
  Queue(ash, "n");
  Tick();
  for (const Character* c : {&ash, &birch, &cedar})
    EXPECT_EQ(At(*c), std::make_pair(6, 5)) << c->name;
  EXPECT_EQ(QueueOf(birch).Size(), 1u);
  EXPECT_EQ(QueueOf(ash).Size(), 1u);
  // Each arrival is heard by whoever stands on the new cell by then.
  EXPECT_EQ(TakeHeard(), (Heard{{1,
                                 {"Ash has entered the area.", "Birch has entered the area.",
                                  "Cedar has entered the area."}},
                                {2,
                                 {"Ash has left the area.", "Birch has entered the area.",
                                  "Cedar has entered the area."}},
                                {3,
                                 {"Ash has left the area.", "Birch has left the area.",
                                  "Cedar has entered the area."}}}));
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(7, 5));
  EXPECT_TRUE(QueueOf(birch).Empty());
}

TEST_F(TickTest, AFollowersOwnWordsWaitUntilFollowOff) {
  Character& ash = Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  ash.following = &birch;
  Queue(ash, "ns");
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 5));
  EXPECT_EQ(QueueOf(ash).Size(), 2u);
  EXPECT_TRUE(TakeHeard().empty());
  ash.following = nullptr;
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 4));
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 5));
  EXPECT_TRUE(QueueOf(ash).Empty());
}

TEST_F(TickTest, FollowersCopyTheEndOfTheirChainAndFollowingOneselfIsFollowingNobody) {
  Character& ash = Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  Character& cedar = Place(3, "Cedar", 5, 5);
  Character& dusk = Place(4, "Dusk", 5, 5);
  ash.following = &birch;
  birch.following = &cedar;
  cedar.following = &dusk;
  dusk.following = &dusk;
  Queue(dusk, "s");
  Queue(birch, "n");  // waits: Birch follows someone
  Tick();
  for (const Character* c : {&ash, &birch, &cedar, &dusk})
    EXPECT_EQ(At(*c), std::make_pair(5, 6)) << c->name;
  EXPECT_TRUE(QueueOf(dusk).Empty());
  EXPECT_EQ(QueueOf(birch).Size(), 1u);
}

// --- What must never move a character off the map or look up a missing queue. ------

TEST_F(TickTest, AStepPastTheEdgeIsDroppedWithoutAMoveOrANotice) {
  Character& ash = Place(1, "Ash", 5, 1);
  Character& birch = Place(2, "Birch", 5, 0);
  Queue(ash, "nne");
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 0));
  TakeHeard();
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 0));
  EXPECT_EQ(QueueOf(ash).Size(), 1u);
  EXPECT_TRUE(TakeHeard().empty());
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(6, 0));
  // The other edges.
  Characters().MoveCharacter(2, 29, 29);
  Queue(birch, "se");
  Tick();
  Tick();
  EXPECT_EQ(At(birch), std::make_pair(29, 29));
  Characters().MoveCharacter(2, 0, 0);
  Queue(birch, "w");
  Tick();
  EXPECT_EQ(At(birch), std::make_pair(0, 0));
  EXPECT_TRUE(QueueOf(birch).Empty());
}

TEST_F(TickTest, AFollowerWhoseCopiedStepLeavesTheMapStays) {
  Character& leader = Place(1, "Ash", 5, 1);
  Character& follower = Place(2, "Birch", 5, 0);
  follower.following = &leader;
  Queue(leader, "n");
  Tick();
  EXPECT_EQ(At(leader), std::make_pair(5, 0));
  EXPECT_EQ(At(follower), std::make_pair(5, 0));
  EXPECT_TRUE(QueueOf(leader).Empty());
}

TEST_F(TickTest, FollowingACharacterThatLeftPlayMovesNothing) {
  Character& ash = Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  Character& cedar = Place(3, "Cedar", 5, 5);
  ash.following = &birch;
  birch.following = &cedar;  // the chain runs through Birch, who leaves
  Queue(birch, "e");
  Queue(cedar, "e");
  Characters().LeavePlay(2);
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 5));
  EXPECT_EQ(At(cedar), std::make_pair(6, 5));
  // Back in play, Birch leads again.
  Characters().EnterPlayFromStore(2, &birch);
  cedar.following = nullptr;
  birch.following = nullptr;
  Queue(birch, "s");
  Tick();
  EXPECT_EQ(At(ash), std::make_pair(5, 6));
  EXPECT_EQ(At(birch), std::make_pair(5, 6));
}

TEST_F(TickTest, ALoopOfFollowersMovesNobodyOnItOrBehindIt) {
  Character& ash = Place(1, "Ash", 5, 5);
  Character& birch = Place(2, "Birch", 5, 5);
  Character& cedar = Place(3, "Cedar", 5, 5);
  ash.following = &birch;
  birch.following = &ash;
  cedar.following = &ash;
  Queue(ash, "e");
  Queue(birch, "w");
  Queue(cedar, "n");
  for (int i = 0; i < 3; ++i) Tick();
  for (const Character* c : {&ash, &birch, &cedar}) {
    EXPECT_EQ(At(*c), std::make_pair(5, 5)) << c->name;
    EXPECT_EQ(QueueOf(*c).Size(), 1u) << c->name;
  }
  EXPECT_TRUE(TakeHeard().empty());
}

TEST_F(TickTest, ALongChainEndsInTheOneLeader) {
  // One cat on each cell east of the first column; each follows the next one up, and
  // the last leads them all one step west.
  std::vector<Character*> cats;
  for (int y = 0; y < world::kMapSize; ++y) {
    for (int x = 1; x < world::kMapSize; ++x) {
      const int i = static_cast<int>(cats.size());
      cats.push_back(&Place(100 + i, "Cat" + std::to_string(i), x, y));
    }
  }
  for (std::size_t i = 0; i + 1 < cats.size(); ++i) cats[i]->following = cats[i + 1];
  Queue(*cats.back(), "w");
  Tick();
  for (std::size_t i = 0; i < cats.size(); ++i) {
    ASSERT_EQ(cats[i]->x, static_cast<int>(i % 29)) << cats[i]->name;
  }
  EXPECT_TRUE(QueueOf(*cats.back()).Empty());
}

}  // namespace
